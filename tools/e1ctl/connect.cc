#include "tools/e1ctl/connect.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/clock.h"
#include "tools/e1ctl/exit_status.h"
#include "tools/e1ctl/lock_probe.h"
#include "tools/e1ctl/process_state.h"
#include "tools/e1ctl/report.h"
#include "tools/e1ctl/socket_dir.h"
#include "tools/e1ctl/socket_names.h"

namespace e1ctl {

namespace {

// Connects without waiting: a listener whose queue is full (a daemon that
// does not accept, e.g. stopped) refuses with EAGAIN at once instead of
// holding the connect for good. The descriptor returned blocks again.
int ConnectOnce(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) Fail(kFailure, "socket: %s\n", strerror(errno));
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    close(fd);
    Fail(kUsage, "socket path too long: %s\n", path.c_str());
  }
  memcpy(addr.sun_path, path.c_str(), path.size());
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      Fail(kFailure, "cannot connect to %s: %s\n", path.c_str(), strerror(errno));
    }
    return fd;
  }
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
    // Something at the path that is no socket is refused like a busy port:
    // said as it is, at once, since waiting will not make it a socket.
    struct stat st;
    if (err == ECONNREFUSED && stat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
      Fail(kNoSocket, "not a socket: %s is %s\n", path.c_str(), FileKindText(st.st_mode));
    }
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
    if (err == EAGAIN) {
      Fail(kTimeout,
           "%s did not accept the connection within %g s: its queue is full (is e1ctld stopped?)\n",
           path.c_str(), wait);
    }
    if (err == ECONNREFUSED) {
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
