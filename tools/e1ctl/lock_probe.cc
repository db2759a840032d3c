#include "tools/e1ctl/lock_probe.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/e1ctl/socket_names.h"

namespace e1ctl {

namespace {

// The holder of the write lock on `inode` of device `dev` in /proc/locks,
// which anyone may read: 1 found (pid stored), 0 not listed, -1 unreadable.
int LockHolderFromProcLocks(dev_t dev, ino_t inode, int* pid) {
  FILE* f = fopen("/proc/locks", "re");
  if (f == nullptr) return -1;
  char line[256];
  int found = 0;
  while (found == 0 && fgets(line, sizeof line, f) != nullptr) {
    if (ParseProcLocksLine(line, dev, inode, pid)) found = 1;
  }
  fclose(f);
  return found;
}

}  // namespace

LockInfo ReadLock(const std::string& ctlIf) {
  LockInfo info;
  std::string path = LockPath(ctlIf);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    int r = fcntl(fd, F_GETLK, &fl);
    int err = errno;
    close(fd);
    if (r == 0) {
      info.kind = fl.l_type == F_UNLCK ? LockInfo::kNone : LockInfo::kHeld;
      info.pid = fl.l_type == F_UNLCK ? 0 : fl.l_pid;
      return info;
    }
    info.unread = strerror(err);
  } else if (errno == ENOENT) {
    info.kind = LockInfo::kNone;
    return info;
  } else {
    info.unread = strerror(errno);
  }
  struct stat st;
  int pid = 0;
  int listed =
      stat(path.c_str(), &st) == 0 ? LockHolderFromProcLocks(st.st_dev, st.st_ino, &pid) : -1;
  if (listed >= 0) {
    info.kind = listed == 1 ? LockInfo::kHeld : LockInfo::kNone;
    info.pid = pid;
  }
  return info;
}

LockInfo ReadLockOfSocket(const std::string& socketPath) {
  SocketEntry e;
  size_t slash = socketPath.rfind('/');
  if (!ParseSocketName(socketPath.substr(slash == std::string::npos ? 0 : slash + 1), &e)) {
    return LockInfo();
  }
  return ReadLock(e.ctlIf);
}

std::string ProcessName(int pid) {
  std::string name;
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re");
  if (f == nullptr) return name;
  char buf[64];
  if (fgets(buf, sizeof buf, f) != nullptr) name = buf;
  fclose(f);
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

}  // namespace e1ctl
