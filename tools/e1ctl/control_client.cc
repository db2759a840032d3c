#include "tools/e1ctl/control_client.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "core/run_paths.h"
#include "tools/e1ctl/socket_names.h"

namespace e1ctl {

namespace {

const int kAnswerTimeoutMs = 5000;

std::string CtlBase() {
  std::string prefix = kCtlPrefix;
  return prefix.substr(prefix.rfind('/') + 1);
}

// A connected socket with the request sent, or -1 with `error` set.
int Open(const std::string& ctlIf, const std::string& requestLine, std::string* error) {
  std::string path = ControlPath(ctlIf);
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path) {
    *error = "control socket path too long: " + path;
    return -1;
  }
  memcpy(a.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + strerror(errno);
    return -1;
  }
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
    *error = path + ": " + strerror(errno);
    close(fd);
    return -1;
  }
  std::string line = requestLine + "\n";
  if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    *error = path + ": " + strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string ControlPath(const std::string& ctlIf) {
  return kCtlPrefix + ctlIf;
}

std::vector<std::string> ListControlSockets() {
  std::vector<std::string> out;
  DIR* d = opendir(SocketDir().c_str());
  if (d == nullptr) return out;
  std::string base = CtlBase();
  while (struct dirent* de = readdir(d)) {
    std::string name = de->d_name;
    if (name.size() > base.size() && name.compare(0, base.size(), base) == 0) {
      out.push_back(name.substr(base.size()));
    }
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

bool RequestControl(const std::string& ctlIf, const std::string& requestLine, std::string* reply,
                    std::string* error) {
  reply->clear();
  int fd = Open(ctlIf, requestLine, error);
  if (fd < 0) return false;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int rc = poll(&p, 1, kAnswerTimeoutMs);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) {
      *error = ControlPath(ctlIf) + ": no answer within 5 s";
      close(fd);
      return false;
    }
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    reply->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  if (reply->empty()) {
    *error = ControlPath(ctlIf) + ": closed without an answer";
    return false;
  }
  return true;
}

bool StreamControl(const std::string& ctlIf, const std::string& requestLine,
                   const std::function<bool(const std::string& line)>& onLine, std::string* error) {
  int fd = Open(ctlIf, requestLine, error);
  if (fd < 0) return false;
  std::string buf;
  char chunk[4096];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = ControlPath(ctlIf) + ": " + strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    buf.append(chunk, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl; (nl = buf.find('\n', start)) != std::string::npos; start = nl + 1) {
      if (!onLine(buf.substr(start, nl - start))) {
        close(fd);
        return true;
      }
    }
    buf.erase(0, start);
  }
  close(fd);
  return true;
}

}  // namespace e1ctl
