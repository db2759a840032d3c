#include "tools/e1ctl/metrics_collect.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "tools/e1ctl/socket_names.h"

namespace e1ctl {

namespace {

// The file name before the controller's control interface.
const char kControlBase[] = "G703G704_CTL_";
// Bounds on one daemon's answer: a stuck daemon must not stop the rest.
constexpr int kAnswerMs = 2000;
constexpr size_t kAnswerMaxBytes = 1 << 20;

long long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Waits for `events` on `fd` until `deadline` (monotonic ms); false when
// it did not come in time or the wait failed.
bool WaitFor(int fd, short events, long long deadline) {
  for (;;) {
    long long left = deadline - NowMs();
    if (left <= 0) return false;
    struct pollfd p = {fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// The whole answer of the daemon at `path` to "status\n"; false when none.
bool AskStatus(const std::string& path, std::string* answer) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  memcpy(addr.sun_path, path.c_str(), path.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const long long deadline = NowMs() + kAnswerMs;
  bool ok = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
  if (!ok && errno == EINPROGRESS && WaitFor(fd, POLLOUT, deadline)) {
    int err = 0;
    socklen_t len = sizeof err;
    ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
  }
  const char request[] = "status\n";
  size_t sent = 0;
  while (ok && sent < sizeof request - 1) {
    ssize_t n = send(fd, request + sent, sizeof request - 1 - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      ok = WaitFor(fd, POLLOUT, deadline);
    } else {
      ok = false;
    }
  }
  answer->clear();
  while (ok) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) break;  // the daemon closed: the answer is whole
    if (n > 0) {
      answer->append(buf, static_cast<size_t>(n));
      ok = answer->size() <= kAnswerMaxBytes;
    } else if (errno == EAGAIN || errno == EINTR) {
      ok = WaitFor(fd, POLLIN, deadline);
    } else {
      ok = false;
    }
  }
  close(fd);
  return ok && !answer->empty();
}

}  // namespace

std::vector<std::string> CollectStatusDocuments() {
  std::vector<std::string> names;
  if (DIR* d = opendir(SocketDir().c_str())) {
    while (struct dirent* de = readdir(d)) {
      if (strncmp(de->d_name, kControlBase, sizeof kControlBase - 1) == 0 &&
          de->d_name[sizeof kControlBase - 1] != '\0') {
        names.emplace_back(de->d_name);
      }
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> documents;
  for (const std::string& name : names) {
    std::string answer;
    if (AskStatus(SocketDir() + "/" + name, &answer)) documents.push_back(std::move(answer));
  }
  return documents;
}

}  // namespace e1ctl
