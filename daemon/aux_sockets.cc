#include "daemon/aux_sockets.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>

#include "core/fd_util.h"
#include "core/log.h"
#include "core/log_escape.h"
#include "core/run_options.h"
#include "ports/e1_thread.h"
#include "ports/listen_socket.h"

int OpenAuxPollSet(AuxPollSet* set, size_t count) {
  set->entries = nullptr;
  set->count = 0;
  if (count >= SIZE_MAX / sizeof *set->entries) return ENOMEM;
  // One entry more, after the controllers', for the caller.
  set->entries = static_cast<struct pollfd*>(calloc(count + 1, sizeof *set->entries));
  set->count = set->entries != nullptr ? count : 0;
  return set->entries != nullptr ? 0 : ENOMEM;
}

void FillAuxPollSet(AuxPollSet* set, E1Controller* const* cs, bool withListeners) {
  for (size_t i = 0; i < set->count; ++i) {
    E1Controller& c = *cs[i];
    if (c.auxListenFd <= -2) {
      // Made again after a client left, it may not bind (something else
      // stands at the path): the main loop must not wait for it, it is
      // tried again on a later turn.
      int fd = CreateListenSocketOrLater(c.auxPath, "main");
      c.auxListenFd = fd >= 0 ? fd : -2;
    }
    struct pollfd& e = set->entries[i];
    e.revents = 0;
    if (c.auxClientFd >= 0) {
      e.fd = c.auxClientFd;
      e.events = POLLIN | POLLPRI;
    } else {
      e.fd = withListeners ? c.auxListenFd : -1;
      e.events = POLLIN;
    }
  }
}

// Logs the data of a client and closes it when it ended.
static void ServeAuxClient(E1Controller* c, short ev) {
  bool ended = false;
  if (ev & POLLIN) {
    char buf[2048];
    LogMessage(7, "%s: DATA arrived\n", c->auxPath);
    // Never waits: urgent data alone reports POLLIN without anything a
    // read returns, and a blocking read would stop the main loop for good.
    ssize_t n = recv(c->auxClientFd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) {
      LogMessage(7, "received %d bytes:\n", static_cast<int>(n));
    } else if (g_options.logLevel >= 7 && !g_options.quiet) {
      // Shown escaped: a line feed in the data must not start a line that
      // looks like the daemon's own, nor a NUL cut it short.
      char shown[sizeof buf * kLogEscapeMaxPerByte + 1];
      EscapeForLog(buf, static_cast<size_t>(n), shown, sizeof shown);
      LogMessage(7, "received %d bytes:\n%s\n", static_cast<int>(n), shown);
    }
    // A client that shut its side down would otherwise report input on
    // every turn and keep the Ethernet pass from running.
    ended = n == 0;
  }
  const char* report = PollReport(ended ? static_cast<short>(ev | POLLHUP) : ev);
  if (report != nullptr) {
    LogMessage(7, "%s: reports %s\n", c->auxPath, report);
    CloseRetry(c->auxClientFd);
    c->auxClientFd = -1;
    c->auxListenFd = -2;
  }
}

bool ServeAuxPollSet(const AuxPollSet* set, E1Controller* const* cs) {
  bool acceptsWork = true;
  for (size_t i = 0; i < set->count; ++i) {
    E1Controller& c = *cs[i];
    const struct pollfd& e = set->entries[i];
    if (e.revents == 0 || e.fd < 0) continue;
    if (e.fd == c.auxClientFd) {
      ServeAuxClient(&c, e.revents);
    } else if (e.fd == c.auxListenFd) {
      int client = accept(c.auxListenFd, nullptr, nullptr);
      if (client < 0) {
        acceptsWork = false;
        continue;
      }
      CloseRetry(c.auxListenFd);
      c.auxListenFd = -1;
      c.auxClientFd = client;
    }
  }
  return acceptsWork;
}
