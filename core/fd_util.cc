#include "core/fd_util.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

int CloseRetry(int fd) {
  // Linux has released the descriptor even when close reports EINTR, and
  // its number may already belong to another thread's new descriptor.
  if (close(fd) == 0 || errno == EINTR) return 0;
  return -1;
}

bool IsFdValid(int fd) {
  return fcntl(fd, F_GETFL) >= 0;
}

void MakeRawMode(const struct termios* saved, struct termios* raw) {
  *raw = *saved;
  raw->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                                         ICRNL | IXON | IXANY | IXOFF);
  raw->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  raw->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
  raw->c_cflag |= CS8;
  raw->c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | IEXTEN);
  raw->c_cc[VMIN] = 1;
  raw->c_cc[VTIME] = 0;
}

int SetRawMode(int fd, struct termios* saved, struct termios* raw) {
  (void)tcgetattr(fd, saved);
  MakeRawMode(saved, raw);
  (void)tcflush(fd, TCIOFLUSH);
  (void)tcsetattr(fd, TCSANOW, raw);
  return 0;
}

void RestoreMode(int fd, const struct termios* saved) {
  (void)tcflush(fd, TCIOFLUSH);
  (void)tcsetattr(fd, TCSANOW, saved);
}

void SleepMs(int ms) {
  poll(nullptr, 0, ms);
}
