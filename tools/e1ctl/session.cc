#include "tools/e1ctl/session.h"

#include <errno.h>
#include <linux/sockios.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "core/clock.h"
#include "tools/e1ctl/block_split.h"
#include "tools/e1ctl/exit_status.h"
#include "tools/e1ctl/peer.h"
#include "tools/e1ctl/report.h"

namespace e1ctl {

void WarnLongCommands(const std::vector<std::string>& cmds) {
  for (const std::string& c : cmds) {
    if (DroppedByDaemon(c)) {
      Notice(
          "warning: a command of %zu characters is dropped by the daemon (at most %zu fit "
          "its line): %.20s...\n",
          c.size(), kMaxCommandChars, c.c_str());
    }
  }
}

namespace {

// Bytes written to the socket that the daemon has not read yet.
int Unread(int fd) {
  int n = 0;
  if (ioctl(fd, SIOCOUTQ, &n) != 0) return 0;
  return n;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      struct pollfd p = {fd, POLLOUT, 0};
      poll(&p, 1, 100);
      continue;
    }
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteOut(const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(STDOUT_FILENO, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// With nothing to read: waits until the daemon has read what was sent, so
// that closing the connection cannot overtake the last block.
int WaitTaken(int fd, double timeout, const std::string& path) {
  double deadline = NowMs() / 1000.0 + timeout;
  while (Unread(fd) > 0) {
    if (timeout > 0 && NowMs() / 1000.0 > deadline) {
      Notice("the daemon did not take the commands within %g s on %s\n", timeout, path.c_str());
      return kTimeout;
    }
    poll(nullptr, 0, 5);
  }
  return kOk;
}

// The connection has ended: ends the program when the daemon ended with it
// (no end-of-file reply closed it), else returns.
void FailIfDaemonEnded(int daemonPid, const std::string& path) {
  if (!DaemonEnded(daemonPid, path)) return;
  if (daemonPid > 0) {
    Fail(kLost, "connection to %s lost: e1ctld (pid %d) has ended\n", path.c_str(), daemonPid);
  }
  Fail(kLost, "connection to %s lost: e1ctld has ended\n", path.c_str());
}

}  // namespace

int Session(int fd, const Options& o, std::deque<std::string> blocks, const std::string& path) {
  long linesSeen = 0;
  bool sentAll = false;
  bool stdinOpen = o.fromStdin;
  std::string stdinPending;
  double lastReply = NowMs() / 1000.0;
  bool blockInFlight = false;
  const int daemonPid = PeerPid(fd);
  // While lines of standard input go out: what the daemon has not read yet,
  // and when it last read some (or took a new block).
  int unreadSeen = 0;
  double lastTaken = NowMs() / 1000.0;

  for (;;) {
    // Next block, once the daemon has read the previous one.
    int unread = blockInFlight ? Unread(fd) : 0;
    if (!blocks.empty() && unread == 0) {
      if (!WriteAll(fd, blocks.front())) {
        if (errno == EPIPE || errno == ECONNRESET) {
          FailIfDaemonEnded(daemonPid, path);
          Fail(kFailure, "the daemon closed %s before all commands were sent\n", path.c_str());
        }
        Fail(kFailure, "write to %s: %s\n", path.c_str(), strerror(errno));
      }
      blocks.pop_front();
      blockInFlight = true;
      unreadSeen = Unread(fd);
      lastTaken = NowMs() / 1000.0;
      continue;
    }
    // A daemon that takes nothing of a block for the timeout (stopped, or
    // holding its client back while the controller is lost) ends the run.
    double stallLeft = -1;
    if (o.fromStdin && o.timeout > 0 && unread > 0) {
      if (unread < unreadSeen) lastTaken = NowMs() / 1000.0;
      unreadSeen = unread;
      stallLeft = lastTaken + o.timeout - NowMs() / 1000.0;
      if (stallLeft <= 0) {
        Notice("the daemon did not take the commands within %g s on %s\n", o.timeout, path.c_str());
        return kTimeout;
      }
    }
    if (!sentAll && blocks.empty() && !stdinOpen) {
      sentAll = true;
      lastReply = NowMs() / 1000.0;
      if (o.lines == 0) return WaitTaken(fd, o.timeout, path);
    }

    struct pollfd p[2] = {{fd, POLLIN, 0}, {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
    int waitMs = -1;
    if (!blocks.empty()) {
      waitMs = 5;  // watching the send queue drain
    } else if (sentAll && o.timeout > 0) {
      double left = lastReply + o.timeout - NowMs() / 1000.0;
      if (left <= 0) {
        if (o.lines < 0 && linesSeen > 0) return kOk;
        if (o.lines > 0) {
          Notice("%ld of %ld reply lines within %g s from %s\n", linesSeen, o.lines, o.timeout,
                 path.c_str());
        } else {
          Notice("no reply within %g s from %s\n", o.timeout, path.c_str());
        }
        return kTimeout;
      }
      waitMs = static_cast<int>(left * 1000) + 1;
    }
    if (stallLeft > 0) {
      int stallMs = static_cast<int>(stallLeft * 1000) + 1;
      if (waitMs < 0 || stallMs < waitMs) waitMs = stallMs;
    }
    if (poll(p, 2, waitMs) < 0) {
      if (errno == EINTR) continue;
      Fail(kFailure, "poll: %s\n", strerror(errno));
    }

    if (p[0].revents != 0) {
      char buf[4096];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n < 0 && errno != ECONNRESET)
        Fail(kFailure, "read from %s: %s\n", path.c_str(), strerror(errno));
      if (n <= 0) {
        // The daemon shuts the connection after an end-of-file reply; a
        // daemon that ends closes it too, and that is no reply.
        FailIfDaemonEnded(daemonPid, path);
        return kOk;
      }
      size_t take = static_cast<size_t>(n);
      if (o.lines > 0) {
        for (size_t i = 0; i < take; ++i) {
          if (buf[i] == '\n' && ++linesSeen == o.lines) {
            take = i + 1;
            break;
          }
        }
      } else {
        linesSeen += std::count(buf, buf + n, '\n');
      }
      if (!WriteOut(buf, take)) Fail(kFailure, "write to standard output: %s\n", strerror(errno));
      if (o.lines > 0 && linesSeen >= o.lines) return kOk;
      lastReply = NowMs() / 1000.0;
    }

    if (stdinOpen && p[1].revents != 0) {
      char buf[4096];
      ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n > 0) stdinPending.append(buf, static_cast<size_t>(n));
      if (n <= 0) stdinOpen = false;
      // Every complete line (the rest too at the end of input) is a block.
      size_t start = 0;
      for (size_t nl = stdinPending.find('\n'); nl != std::string::npos;
           nl = stdinPending.find('\n', start)) {
        std::vector<std::string> cmds = SplitCommands(stdinPending.substr(start, nl - start));
        WarnLongCommands(cmds);
        for (std::string& b : MakeBlocks(cmds)) blocks.push_back(std::move(b));
        start = nl + 1;
      }
      stdinPending.erase(0, start);
      if (!stdinOpen && !stdinPending.empty()) {
        std::vector<std::string> cmds = SplitCommands(stdinPending);
        WarnLongCommands(cmds);
        for (std::string& b : MakeBlocks(cmds)) blocks.push_back(std::move(b));
        stdinPending.clear();
      }
    }
  }
}

}  // namespace e1ctl
