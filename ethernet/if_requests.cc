#include "ethernet/if_requests.h"

#include <errno.h>
#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>

static bool Missing(const char* name) {
  return name == nullptr || name[0] == '\0';
}

// Copies at most 16 bytes of `name` into a 16-byte field, zero-filled.
static void PutName(char (&field)[IFNAMSIZ], const char* name) {
  memset(field, 0, sizeof field);
  strncpy(field, name, sizeof field);
}

// A request record naming `name`, everything else zero.
static struct ifreq RequestFor(const char* name) {
  struct ifreq req;
  memset(&req, 0, sizeof req);
  PutName(req.ifr_name, name);
  return req;
}

static int Fail(int err) {
  errno = err;
  return err;
}

int GetIfFlags(int sock, const char* name) {
  if (Missing(name)) return Fail(EINVAL);
  struct ifreq req = RequestFor(name);
  if (ioctl(sock, SIOCGIFFLAGS, &req) < 0) return 0;
  return static_cast<int>(req.ifr_flags);
}

bool IsIfUp(int sock, const char* name) {
  return (GetIfFlags(sock, name) & IFF_UP) != 0;
}

int SetIfUp(int sock, const char* name, bool up) {
  if (Missing(name)) return Fail(EINVAL);
  struct ifreq req = RequestFor(name);
  if (ioctl(sock, SIOCGIFFLAGS, &req) < 0) return Fail(ENOENT);
  if (up) {
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
  } else {
    req.ifr_flags = static_cast<short>(req.ifr_flags & ~IFF_UP);
  }
  if (ioctl(sock, SIOCSIFFLAGS, &req) < 0) return Fail(ENOENT);
  return 0;
}

int RenameIf(int sock, const char* name, const char* newName) {
  if (Missing(name) || Missing(newName)) return Fail(EINVAL);
  struct ifreq req = RequestFor(name);
  PutName(req.ifr_newname, newName);
  if (ioctl(sock, SIOCSIFNAME, &req) < 0) return Fail(ENOENT);
  return 0;
}
