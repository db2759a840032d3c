#include "tools/e1ctl/connect.h"

#include <errno.h>
#include <grp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/clock.h"
#include "tools/e1ctl/exit_status.h"
#include "tools/e1ctl/lock_probe.h"
#include "tools/e1ctl/report.h"
#include "tools/e1ctl/socket_dir.h"
#include "tools/e1ctl/socket_names.h"

namespace e1ctl {

namespace {

// Who may use a socket that this user may not: the group of the first
// thing on its path that refuses us (the socket, else its directory).
std::string PermissionHint(const std::string& path) {
  struct stat st;
  std::string what = path;
  if (stat(path.c_str(), &st) != 0) {
    what = path.substr(0, path.rfind('/'));
    if (stat(what.c_str(), &st) != 0) return "root";
  }
  if (st.st_gid == 0) return "root";
  struct group* g = getgrgid(st.st_gid);
  std::string group =
      g != nullptr ? std::string("'") + g->gr_name + "'" : "with id " + std::to_string(st.st_gid);
  return "root and the members of group " + group;
}

int ConnectOnce(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(kFailure, "socket: %s\n", strerror(errno));
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    close(fd);
    Fail(kUsage, "socket path too long: %s\n", path.c_str());
  }
  memcpy(addr.sun_path, path.c_str(), path.size());
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0) return fd;
  int err = errno;
  close(fd);
  errno = err;
  return -1;
}

}  // namespace

int Connect(const std::string& path, double wait) {
  double deadline = NowMs() / 1000.0 + wait;
  for (;;) {
    int fd = ConnectOnce(path);
    if (fd >= 0) return fd;
    int err = errno;
    bool retry = err == ENOENT || err == ECONNREFUSED || err == EAGAIN;
    if (retry && NowMs() / 1000.0 < deadline) {
      poll(nullptr, 0, 20);
      continue;
    }
    if (err == ENOENT) {
      if (!PathExists(SocketDir())) {
        Fail(kNoSocket, "no such socket: %s (%s does not exist: is e1ctld running?)\n",
             path.c_str(), SocketDir().c_str());
      }
      Fail(kNoSocket, "no such socket: %s (see e1ctl -l for the sockets present)\n", path.c_str());
    }
    if (err == EACCES || err == EPERM) {
      Fail(kFailure, "permission denied: %s may be used by %s only\n", path.c_str(),
           PermissionHint(path).c_str());
    }
    if (err == ECONNREFUSED || err == EAGAIN) {
      if (ReadLockOfSocket(path).kind == LockInfo::kNone) {
        Fail(kStale, "%s is not served: no e1ctld holds its controller (socket left behind)\n",
             path.c_str());
      }
      Fail(kBusy, "port busy: another client is connected to %s\n", path.c_str());
    }
    Fail(kFailure, "cannot connect to %s: %s\n", path.c_str(), strerror(err));
  }
}

}  // namespace e1ctl
