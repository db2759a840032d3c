#include "tools/e1ctl/peer.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>

#include "tools/e1ctl/lock_probe.h"
#include "tools/e1ctl/process_state.h"

namespace e1ctl {

int PeerPid(int fd) {
  struct ucred cred = {};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return 0;
  return cred.pid > 0 ? cred.pid : 0;
}

bool DaemonEnded(int pid, const std::string& socketPath) {
  if (pid <= 0) return ReadLockOfSocket(socketPath).kind == LockInfo::kNone;
  // EPERM: it lives, as another user's process (a daemon run as root).
  if (kill(pid, 0) != 0 && errno == ESRCH) return true;
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "re");
  if (f == nullptr) return false;  // not readable here: nothing says it ended
  char line[1024];
  bool ending = fgets(line, sizeof line, f) != nullptr && StatShowsEnding(line);
  fclose(f);
  return ending;
}

}  // namespace e1ctl
