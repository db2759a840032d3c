#include "ethernet/pair_lookup.h"

#include <dirent.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/fd_util.h"
#include "discovery/sysfs_names.h"

namespace {

void CloseHandle(E1Controller* c, int i) {
  if (c->ethNetDirFd[i] >= 0) CloseRetry(c->ethNetDirFd[i]);
  c->ethNetDirFd[i] = -1;
}

// "<ethPath>:1.0/net" into buf; false when it does not fit.
bool NetDirPath(const E1Controller* c, int i, char* buf, size_t size) {
  int n = snprintf(buf, size, "%s:1.0/net", c->ethPath[i]);
  return n > 0 && static_cast<size_t>(n) < size;
}

void OpenHandle(E1Controller* c, int i) {
  char path[512];
  if (!NetDirPath(c, i, path, sizeof path)) return;
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  if (fd < 0) return;
  if (fstat(fd, &st) != 0) {
    CloseRetry(fd);
    return;
  }
  c->ethNetDirFd[i] = fd;
  c->ethNetDirDev[i] = st.st_dev;
  c->ethNetDirIno[i] = st.st_ino;
}

// Room for a "net" directory (one entry, a few at most) in one read; a
// read that leaves more than a whole record of it unused has returned
// every entry, which saves the read that would only say so.
constexpr size_t kListingBytes = 4096;
constexpr size_t kLargestRecord = offsetof(struct dirent64, d_name) + 256;

// The greatest name in the directory (the order of the full lookup's
// sorted listing), or null when it holds none or cannot be read.
char* GreatestName(int fd) {
  if (lseek(fd, 0, SEEK_SET) != 0) return nullptr;
  alignas(struct dirent64) char buf[kListingBytes];
  char best[256] = "";
  for (;;) {
    ssize_t n = getdents64(fd, buf, sizeof buf);
    if (n < 0) return nullptr;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const struct dirent64*>(buf + at);
      at += e->d_reclen;
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      if (best[0] == '\0' || strcoll(e->d_name, best) > 0)
        snprintf(best, sizeof best, "%s", e->d_name);
    }
    if (n == 0 || static_cast<size_t>(n) + kLargestRecord <= sizeof buf) break;
  }
  return best[0] != '\0' ? strdup(best) : nullptr;
}

}  // namespace

bool LookUpPairName(E1Controller* c, int i, char** name) {
  *name = nullptr;
  if (c->ethNetDirFd[i] < 0) OpenHandle(c, i);
  if (c->ethNetDirFd[i] >= 0) {
    *name = GreatestName(c->ethNetDirFd[i]);
    if (*name != nullptr) return true;
    CloseHandle(c, i);
  }
  return IsUSBDeviceEthernetPort(c->ethPath[i], ":1.0", true, name);
}

void RecheckPairHandle(E1Controller* c, int i) {
  if (c->ethNetDirFd[i] < 0) return;
  char path[512];
  struct stat now;
  if (!NetDirPath(c, i, path, sizeof path) || stat(path, &now) != 0 ||
      now.st_dev != c->ethNetDirDev[i] || now.st_ino != c->ethNetDirIno[i]) {
    CloseHandle(c, i);
  }
}
