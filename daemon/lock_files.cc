#include "daemon/lock_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "core/log.h"
#include "core/process_exit.h"

char* ReadProcessName(int pid) {
  const size_t size = 1024;
  char* buf = static_cast<char*>(calloc(size, 1));
  if (buf == nullptr) return nullptr;
  snprintf(buf, size, "/proc/%d/comm", pid);
  FILE* f = fopen(buf, "r");
  if (f == nullptr) {
    free(buf);
    return nullptr;
  }
  size_t n = fread(buf, 1, size - 1, f);
  if (n == 0) {
    fclose(f);
    free(buf);
    return nullptr;
  }
  buf[n] = '\0';
  if (buf[n - 1] == '\n') buf[n - 1] = '\0';
  fclose(f);
  return buf;
}

void TakeLockFile(E1Controller* c, const char* invocation) {
  c->lockFd = open(c->lockPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0);
  if (c->lockFd < 0) {
    int err = errno;
    c->lockFd = -1;
    FatalExit(err, "%s: can't open LOCKFILE '%s', error: %s\n", invocation, c->lockPath,
              strerror(err));
  }
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (fcntl(c->lockFd, F_SETLK, &fl) < 0) {
    int err = errno;
    struct flock holder;
    memset(&holder, 0, sizeof holder);
    holder.l_type = F_WRLCK;
    holder.l_whence = SEEK_SET;
    int pid = -1;
    if (fcntl(c->lockFd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK) pid = holder.l_pid;
    char* name = pid > 0 ? ReadProcessName(pid) : nullptr;
    FatalExit(err, "%s: can't obtain LOCKFILE '%s': %s\nProcess-owner: '%s' (pid=%d)\n", invocation,
              c->lockPath, strerror(err), name != nullptr ? name : "unknown", pid);
  }
  c->lockOwned = 1;
}
