#include "core/wake_fd.h"

#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

int OpenWakeFd() {
  return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

void SignalWake(int fd) {
  if (fd < 0) return;
  uint64_t one = 1;
  // Fails only when the counter is near its maximum: it is readable then.
  (void)!write(fd, &one, sizeof one);
}

void TakeWake(int fd) {
  uint64_t count;
  (void)!read(fd, &count, sizeof count);
}
