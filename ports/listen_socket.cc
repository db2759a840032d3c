#include "ports/listen_socket.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/log.h"
#include "core/process_exit.h"

int CreateListenSocket(const char* path, const char* tag) {
  unlink(path);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) FatalExit(12, "Can't open socket: %s\n", strerror(errno));
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
  // The length covers the family and the whole path field.
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) < 0) {
    FatalExit(12, "%s: Can't bind to socket: %s\n", tag, strerror(errno));
  }
  if (listen(fd, 1) < 0) FatalExit(13, "Can't listen to socket: %s\n", strerror(errno));
  return fd;
}
