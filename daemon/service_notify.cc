#include "daemon/service_notify.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "core/fd_util.h"
#include "daemon/signals.h"

int SendServiceNotification(const char* socketPath, const char* message) {
  if (socketPath == nullptr || (socketPath[0] != '/' && socketPath[0] != '@') ||
      socketPath[1] == '\0') {
    errno = EINVAL;
    return -1;
  }
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  size_t len = strlen(socketPath);
  if (len >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(addr.sun_path, socketPath, len);
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract: no file
  socklen_t addrLen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  size_t size = strlen(message);
  // Never waits: a service manager that does not read must not stop the
  // main loop.
  ssize_t n = sendto(fd, message, size, MSG_NOSIGNAL | MSG_DONTWAIT,
                     reinterpret_cast<struct sockaddr*>(&addr), addrLen);
  int err = errno;
  CloseRetry(fd);
  if (n == static_cast<ssize_t>(size)) return 0;
  errno = n < 0 ? err : EMSGSIZE;
  return -1;
}

static std::string Counted(int n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string ControllerStatusText(const char* ifName, bool serving, UartAccount line,
                                 const char* tty, int ports, int clients) {
  std::string text = std::string(ifName != nullptr ? ifName : "?") + ": ";
  if (!serving) return text + "UART not opened";
  switch (line) {
    case UartAccount::kOpen:
      text += tty;
      break;
    case UartAccount::kLost:
      text += std::string("UART lost (was ") + tty + ")";
      break;
    case UartAccount::kWaiting:
      text += std::string("waiting for its tty (") + tty + ")";
      break;
  }
  return text + ", " + Counted(ports, "port") + ", " + Counted(clients, "client");
}

long long WatchdogInterval(const char* usec, const char* pid, long ownPid) {
  if (usec == nullptr) return 0;
  char* end = nullptr;
  errno = 0;
  long long period = strtoll(usec, &end, 10);
  if (errno != 0 || end == usec || *end != '\0' || period <= 0) return 0;
  if (pid != nullptr) {
    long forPid = strtol(pid, &end, 10);
    if (end == pid || *end != '\0' || forPid != ownPid) return 0;
  }
  // A period of 1 us still asks for keep-alives: one at every turn of the
  // main loop then (see ServiceNotifyTurn), never none.
  return period >= 2 ? period / 2 : 1;
}

namespace {

// The main loop's notification state (main thread only).
struct NotifyState {
  bool started;
  const char* socketPath;  // null: no service manager listens
  long long watchdogUs;    // keep-alive interval, 0: none
  long long lastWatchdogUs;
  bool ready;
  bool stopping;
  // The last reported account of each controller: its line's (statusSeq)
  // and its clients' (ClientChanges).
  std::vector<uint32_t> seenSeq;
  std::vector<uint32_t> seenClientSeq;
};

NotifyState g_notify;

long long NowUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int OpenedPorts(const E1Controller& c) {
  int n = 0;
  for (int p = 0; p < c.e1Ports && p < kMaxE1Ports; ++p) n += c.ports[p].running ? 1 : 0;
  return n;
}

// The sum of the ports' client changes: it moves with every accept and close.
uint32_t ClientChanges(const E1Controller& c) {
  uint32_t n = 0;
  for (const E1PortSlot& s : c.ports) n += s.counters.clientChanges.load();
  return n;
}

// Whether every started port listens and every serial thread reported.
bool AllServing(E1Controller* const* cs, int count) {
  for (int i = 0; i < count; ++i) {
    const E1Controller& c = *cs[i];
    if (c.ttyRunning && c.statusSeq.load() == 0) return false;
    for (int p = 0; p < kMaxE1Ports; ++p) {
      if (c.ports[p].running && !c.ports[p].listening) return false;
    }
  }
  return true;
}

std::string StatusLine(E1Controller* const* cs, int count) {
  g_notify.seenSeq.resize(static_cast<size_t>(count));
  g_notify.seenClientSeq.resize(static_cast<size_t>(count));
  std::string line = "STATUS=";
  for (int i = 0; i < count; ++i) {
    E1Controller& c = *cs[i];
    char tty[sizeof c.statusTty];
    UartAccount account = UartAccount::kOpen;
    uint32_t seq = ReadUARTState(&c, tty, sizeof tty, &account);
    g_notify.seenSeq[static_cast<size_t>(i)] = seq;
    // Read before the clients are counted: a change after it is told at
    // the next turn.
    g_notify.seenClientSeq[static_cast<size_t>(i)] = ClientChanges(c);
    int clients = 0;
    for (int p = 0; p < kMaxE1Ports; ++p) clients += c.ports[p].clientFd.load() >= 0 ? 1 : 0;
    if (i > 0) line += "; ";
    line +=
        ControllerStatusText(c.usbIfName, c.ttyRunning != 0, account, tty, OpenedPorts(c), clients);
  }
  if (count == 0) line += "no controller";
  return line;
}

bool AccountsChanged(E1Controller* const* cs, int count) {
  if (g_notify.seenSeq.size() != static_cast<size_t>(count)) return true;
  for (int i = 0; i < count; ++i) {
    if (cs[i]->statusSeq.load() != g_notify.seenSeq[static_cast<size_t>(i)]) return true;
    if (ClientChanges(*cs[i]) != g_notify.seenClientSeq[static_cast<size_t>(i)]) {
      return true;
    }
  }
  return false;
}

void Send(const char* message) {
  // An unusable socket changes nothing: the daemon runs on as without one.
  SendServiceNotification(g_notify.socketPath, message);
}

}  // namespace

void ServiceNotifyTurn(E1Controller* const* cs, int count) {
  if (!g_notify.started) {
    g_notify.started = true;
    const char* path = getenv("NOTIFY_SOCKET");
    g_notify.socketPath = path != nullptr && path[0] != '\0' ? path : nullptr;
    g_notify.watchdogUs =
        WatchdogInterval(getenv("WATCHDOG_USEC"), getenv("WATCHDOG_PID"), getpid());
  }
  if (g_notify.socketPath == nullptr) return;
  if (PendingTerminationSignal() != 0) {
    if (!g_notify.stopping) Send("STOPPING=1");
    g_notify.stopping = true;
    return;
  }
  if (g_notify.watchdogUs > 0) {
    // Sent twice per interval, so that a turn of the loop that ends just
    // after the due time still keeps the interval. A period too short for
    // the loop (under about 800 ms) gets one at every turn, at most 200 ms
    // apart: the loop is what the keep-alive vouches for.
    long long now = NowUs();
    if (g_notify.lastWatchdogUs == 0 || now - g_notify.lastWatchdogUs >= g_notify.watchdogUs / 2) {
      Send("WATCHDOG=1");
      g_notify.lastWatchdogUs = now;
    }
  }
  if (!g_notify.ready) {
    if (!AllServing(cs, count)) return;
    g_notify.ready = true;
    Send(("READY=1\n" + StatusLine(cs, count)).c_str());
    return;
  }
  if (AccountsChanged(cs, count)) Send(StatusLine(cs, count).c_str());
}
