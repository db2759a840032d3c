#include "ports/listen_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <string>

#include "core/clock.h"
#include "core/fd_util.h"
#include "core/log.h"
#include "core/process_exit.h"

namespace {

// What is known of a path that a socket has been made for before. Only
// the one thread that makes the path's sockets reads or changes it.
struct Relisten {
  bool failing;       // the last try failed (and was logged)
  int64_t nextTryMs;  // no try before this (CreateListenSocketOrLater)
};

// The paths made so far. The lock guards the map, not its elements, which
// stay where they are as others are added. Never freed: port threads may
// still be in a call while the process exits.
pthread_mutex_t g_pathsLock = PTHREAD_MUTEX_INITIALIZER;
std::map<std::string, Relisten>& Paths() {
  static auto* paths = new std::map<std::string, Relisten>();
  return *paths;
}

// Null when no socket has been made for `path` yet.
Relisten* Find(const char* path) {
  pthread_mutex_lock(&g_pathsLock);
  auto it = Paths().find(path);
  Relisten* known = it == Paths().end() ? nullptr : &it->second;
  pthread_mutex_unlock(&g_pathsLock);
  return known;
}

// One try: a listening socket, or -1 with the bind's error in *bindError.
// A bind failure is fatal when `fatal`; a socket or listen failure always.
int TryListen(const char* path, const char* tag, bool fatal, int* bindError) {
  unlink(path);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) FatalExit(12, "Can't open socket: %s\n", strerror(errno));
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
  // The length covers the family and the whole path field.
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) < 0) {
    if (fatal) FatalExit(12, "%s: Can't bind to socket: %s\n", tag, strerror(errno));
    *bindError = errno;
    CloseRetry(fd);
    return -1;
  }
  if (listen(fd, 1) < 0) FatalExit(13, "Can't listen to socket: %s\n", strerror(errno));
  return fd;
}

// The first socket for `path`: any failure ends the process.
int FirstListen(const char* path, const char* tag) {
  int unused = 0;
  int fd = TryListen(path, tag, true, &unused);
  pthread_mutex_lock(&g_pathsLock);
  Paths()[path] = Relisten{false, 0};
  pthread_mutex_unlock(&g_pathsLock);
  return fd;
}

// A try for a path made before, logging the first failure of a run of
// them and the recovery.
int TryAgain(const char* path, const char* tag, Relisten* known) {
  int err = 0;
  int fd = TryListen(path, tag, false, &err);
  if (fd < 0) {
    if (!known->failing) {
      LogMessage(3, "%s: Can't bind to socket %s again: %s; trying every %d ms\n", tag, path,
                 strerror(err), kRelistenRetryMs);
    }
    known->failing = true;
    known->nextTryMs = NowMs() + kRelistenRetryMs;
    return -1;
  }
  if (known->failing) LogMessageWithPriority(4, 5, "%s: socket %s listens again\n", tag, path);
  known->failing = false;
  return fd;
}

}  // namespace

int MakeSocketDirectory(const char* dir) {
  mkdir(dir, kSocketDirMode);
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int err = fd < 0 ? errno : 0;
  struct stat st;
  if (err == 0 && fstat(fd, &st) != 0) err = errno;
  // The owner first: a change of owner may clear bits that the mode sets.
  if (err == 0 && (st.st_uid != geteuid() || st.st_gid != getegid()) &&
      fchown(fd, geteuid(), getegid()) != 0) {
    err = errno;
  }
  if (err == 0 && (st.st_mode & 07777) != kSocketDirMode && fchmod(fd, kSocketDirMode) != 0) {
    err = errno;
  }
  if (fd >= 0) CloseRetry(fd);
  if (err != 0) {
    LogMessage(3, "Can't make the socket directory %s the daemon's own: %s\n", dir, strerror(err));
  }
  return err;
}

int CreateListenSocket(const char* path, const char* tag) {
  Relisten* known = Find(path);
  if (known == nullptr) return FirstListen(path, tag);
  for (;;) {
    int fd = TryAgain(path, tag, known);
    if (fd >= 0) return fd;
    SleepMs(kRelistenRetryMs);
  }
}

int CreateListenSocketOrLater(const char* path, const char* tag) {
  Relisten* known = Find(path);
  if (known == nullptr) return FirstListen(path, tag);
  if (known->failing && NowMs() < known->nextTryMs) return -1;
  return TryAgain(path, tag, known);
}
