#include "daemon/control_socket.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <vector>

#include "core/clock.h"
#include "core/fd_util.h"
#include "core/log.h"
#include "core/log_escape.h"
#include "core/run_options.h"
#include "core/run_paths.h"
#include "core/worker.h"
#include "daemon/log_level.h"
#include "daemon/status_json.h"
#include "ports/listen_socket.h"

namespace {

// While a monitor is attached the thread looks at the taps this often.
const int kTapPollMs = 10;
// Tap entries copied out per monitor and turn.
const size_t kCopyBatch = 64;

struct ControlClient {
  int fd;
  int ctl;  // index into the controllers
  enum Phase { kRequest, kAnswer, kMonitor } phase;
  std::string in;
  std::string out;     // bytes not yet written
  int port;            // the monitor's port, -1: all
  uint64_t cursor;     // the next tap entry for the monitor
  uint64_t lost;       // entries it lost and has not been told of
  bool done;           // close once `out` is written (an answer) or now
  int64_t deadlineMs;  // a request not read or an answer not taken by then: closed
};

}  // namespace

// Everything the control thread serves, made by OpenControlSockets.
struct ControlState {
  E1Controller* const* cs;
  int count;
  std::vector<std::string> paths;
  std::vector<int> listenFds;  // -1: not listening yet (tried again later)
  std::vector<ControlClient> clients;
  std::vector<TapEntry> copied;
};

namespace {

bool ParsePort(const std::string& word, int* port) {
  if (word.size() != 1 || word[0] < '0' || word[0] > '2') return false;
  *port = word[0] - '0';
  return true;
}

bool ParseLevel(const std::string& word, int* level) {
  if (word.size() != 1 || word[0] < '0' || word[0] > '0' + kMaxLogLevel) return false;
  *level = word[0] - '0';
  return true;
}

int ClientsOf(const ControlState& st, int ctl) {
  int n = 0;
  for (const ControlClient& cl : st.clients) n += cl.ctl == ctl ? 1 : 0;
  return n;
}

void Accept(ControlState* st, int ctl) {
  int fd = accept4(st->listenFds[static_cast<size_t>(ctl)], nullptr, nullptr,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  if (ClientsOf(*st, ctl) >= kMaxControlClients) {
    static const char kBusy[] = "error busy\n";
    send(fd, kBusy, sizeof kBusy - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    CloseRetry(fd);
    return;
  }
  ControlClient cl{fd, ctl,   ControlClient::kRequest,          {}, {}, -1, 0,
                   0,  false, NowMs() + kControlClientTimeoutMs};
  st->clients.push_back(std::move(cl));
}

void Detach(ControlState* st, ControlClient* cl) {
  if (cl->phase == ControlClient::kMonitor) {
    st->cs[cl->ctl]->tap.monitors.fetch_sub(1, std::memory_order_relaxed);
  }
  CloseRetry(cl->fd);
  cl->fd = -1;
}

// Reads the request line (or, from a monitor, anything, which is ignored);
// the end of the connection ends the client.
void ReadClient(ControlState* st, ControlClient* cl) {
  char buf[512];
  ssize_t n = recv(cl->fd, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    cl->done = true;
    cl->out.clear();
    return;
  }
  if (cl->phase != ControlClient::kRequest) return;
  cl->in.append(buf, static_cast<size_t>(n));
  size_t nl = cl->in.find('\n');
  if (nl == std::string::npos) {
    if (cl->in.size() >= kMaxControlRequest) {
      cl->out = "error unknown request\n";
      cl->phase = ControlClient::kAnswer;
      cl->done = true;
    }
    return;
  }
  std::string line = cl->in.substr(0, nl);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  E1Controller* c = st->cs[cl->ctl];
  bool monitor = false;
  cl->out = nl < kMaxControlRequest ? AnswerControlRequest(c, line, &monitor, &cl->port)
                                    : "error unknown request\n";
  if (monitor) {
    cl->phase = ControlClient::kMonitor;
    c->tap.monitors.fetch_add(1, std::memory_order_relaxed);
    cl->cursor = TapPushed(&c->tap);
  } else {
    cl->phase = ControlClient::kAnswer;
    cl->done = true;
  }
}

// Takes what the tap holds for a monitor whose earlier lines are out.
void FillMonitor(ControlState* st, ControlClient* cl) {
  if (!cl->out.empty()) return;
  E1Controller* c = st->cs[cl->ctl];
  size_t n = CopyTapEntries(&c->tap, &cl->cursor, &cl->lost, st->copied.data(), kCopyBatch);
  for (size_t i = 0; i < n; ++i) {
    const TapEntry& e = st->copied[i];
    if (cl->port >= 0 && e.port != cl->port) continue;
    if (cl->lost > 0) {
      cl->out += "lost " + std::to_string(cl->lost) + "\n";
      cl->lost = 0;
    }
    cl->out += FormatMonitorLine(c->usbIfName, e);
  }
}

void WriteClient(ControlClient* cl) {
  while (!cl->out.empty()) {
    ssize_t n = send(cl->fd, cl->out.data(), cl->out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      cl->out.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    cl->out.clear();  // the client is gone
    cl->done = true;
    return;
  }
}

void Relisten(ControlState* st, int64_t* nextTryMs) {
  if (NowMs() < *nextTryMs) return;
  for (size_t i = 0; i < st->listenFds.size(); ++i) {
    if (st->listenFds[i] < 0) {
      st->listenFds[i] = CreateListenSocketOrLater(st->paths[i].c_str(), "Control_thread");
    }
  }
  *nextTryMs = NowMs() + kRelistenRetryMs;
}

void* ControlThread(void* arg) {
  ControlState* st = static_cast<ControlState*>(arg);
  std::vector<struct pollfd> p;
  int64_t nextTryMs = 0;
  for (;;) {
    bool missing = false;
    for (int fd : st->listenFds) missing = missing || fd < 0;
    if (missing) Relisten(st, &nextTryMs);
    bool monitors = false;
    for (ControlClient& cl : st->clients) {
      if (cl.phase == ControlClient::kMonitor && !cl.done) {
        monitors = true;
        FillMonitor(st, &cl);
      }
      if (!cl.out.empty()) WriteClient(&cl);
    }
    p.clear();
    for (int fd : st->listenFds) p.push_back({fd, POLLIN, 0});
    for (const ControlClient& cl : st->clients) {
      short events = cl.done ? 0 : POLLIN;
      if (!cl.out.empty()) events |= POLLOUT;
      p.push_back({cl.fd, events, 0});
    }
    int timeout = monitors ? kTapPollMs : missing ? kRelistenRetryMs : -1;
    int64_t now = NowMs();
    for (ControlClient& cl : st->clients) {
      if (cl.phase == ControlClient::kMonitor || (cl.done && cl.out.empty())) continue;
      if (now >= cl.deadlineMs) {
        cl.done = true;  // silent or not reading: its place goes to others
        cl.out.clear();
        continue;
      }
      int left = static_cast<int>(cl.deadlineMs - now);
      if (timeout < 0 || left < timeout) timeout = left;
    }
    // Done clients whose answer is out are closed before the wait.
    bool closeNow = false;
    for (const ControlClient& cl : st->clients) closeNow = closeNow || (cl.done && cl.out.empty());
    int rc = closeNow ? 0 : poll(p.data(), static_cast<nfds_t>(p.size()), timeout);
    if (rc < 0 && errno != EINTR) {
      LogMessage(3, "Poll error for %s\n", "Control_thread");
      SleepMs(200);
      continue;
    }
    size_t listeners = st->listenFds.size();
    for (size_t i = 0; rc > 0 && i < st->clients.size(); ++i) {
      ControlClient& cl = st->clients[i];
      short ev = p[listeners + i].revents;
      if (ev & (POLLIN | POLLHUP | POLLERR)) ReadClient(st, &cl);
      if ((ev & POLLOUT) && !cl.out.empty()) WriteClient(&cl);
      if (ev & (POLLERR | POLLNVAL)) {
        cl.done = true;
        cl.out.clear();
      }
    }
    for (ControlClient& cl : st->clients) {
      if (cl.done && cl.out.empty()) Detach(st, &cl);
    }
    std::erase_if(st->clients, [](const ControlClient& cl) { return cl.fd < 0; });
    for (size_t i = 0; rc > 0 && i < listeners; ++i) {
      if (p[i].revents & POLLIN) Accept(st, static_cast<int>(i));
    }
  }
  return nullptr;
}

}  // namespace

std::string ControlSocketPath(const char* ctlIf) {
  return std::string(kCtlPrefix) + (ctlIf != nullptr ? ctlIf : "");
}

std::string AnswerControlRequest(E1Controller* c, const std::string& line, bool* monitor,
                                 int* monitorPort) {
  *monitor = false;
  size_t space = line.find(' ');
  std::string word = line.substr(0, space);
  std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
  bool hasArg = space != std::string::npos;
  if (word == "status" && !hasArg) return StatusJson(c) + "\n";
  if (word == "monitor") {
    int port = -1;
    if (hasArg && !ParsePort(arg, &port)) return "error unknown request\n";
    *monitor = true;
    *monitorPort = port;
    return "ok\n";
  }
  if (word == "log-level") {
    if (!hasArg) return "level " + std::to_string(g_options.logLevel.Get()) + "\n";
    int level = 0;
    if (!ParseLevel(arg, &level)) return "error unknown request\n";
    int old = ChangeLogLevel(level);
    return "ok " + std::to_string(old) + " " + std::to_string(level) + "\n";
  }
  return "error unknown request\n";
}

std::string FormatMonitorLine(const char* ctlIf, const TapEntry& e) {
  std::string line = std::to_string(e.usec) + " " + (ctlIf != nullptr ? ctlIf : "") + " ";
  line += e.port >= 0 ? std::to_string(e.port) : "-";
  line += " ";
  line += TapDirName(e.dir);
  line += " ";
  line += TapOutcomeName(e.outcome);
  line += " ";
  line += EscapeForLog(std::string_view(e.text, e.len));
  return line + "\n";
}

ControlState* OpenControlSockets(E1Controller* const* cs, int count) {
  auto* st = new ControlState{cs, count, {}, {}, {}, std::vector<TapEntry>(kCopyBatch)};
  for (int i = 0; i < count; ++i) {
    if (OpenTrafficTap(&cs[i]->tap) != 0) {
      LogMessage(3, "Can't allocate the traffic tap of %s: %s\n", cs[i]->usbIfName,
                 strerror(ENOMEM));
    }
    st->paths.push_back(ControlSocketPath(cs[i]->usbIfName));
    // Made on the main thread, and told as its own when it fails, as the
    // auxiliary sockets are.
    st->listenFds.push_back(CreateListenSocketOrLater(st->paths.back().c_str(), "main"));
  }
  return st;
}

void StartControlThread(ControlState* st) {
  pthread_t thread;
  int rc = StartWorker(&thread, ControlThread, st);
  if (rc != 0) LogMessage(3, "Thread create error for %s: %s\n", "Control_thread", strerror(rc));
}
