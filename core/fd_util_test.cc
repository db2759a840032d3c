#include "core/fd_util.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace {

// Armed by a test: the next close() of this descriptor releases it, lets
// another descriptor take its number at once (another thread's open or
// accept), and then reports EINTR, as Linux may for an interrupted close.
std::atomic<int> g_interruptedFd{-1};
std::atomic<int> g_reusedBy{-1};
int g_spareFd = -1;

}  // namespace

// Every close() of this test binary comes here; unless armed it is the
// plain system call.
extern "C" int close(int fd) {
  long rc = syscall(SYS_close, fd);
  if (rc == 0 && fd >= 0 && g_interruptedFd.compare_exchange_strong(fd, -1)) {
    g_reusedBy = dup(g_spareFd);
    errno = EINTR;
    return -1;
  }
  return static_cast<int>(rc);
}

namespace {

TEST(RawMode, ChangesOnlyTheRawFlagsAndKeepsSpeedAndStopBits) {
  struct termios saved;
  memset(&saved, 0, sizeof saved);
  saved.c_iflag = IGNBRK | BRKINT | ICRNL | IXON | IXOFF | IGNPAR | IUTF8 | IMAXBEL;
  saved.c_oflag = OPOST | ONLCR;
  saved.c_cflag = CS7 | PARENB | CSTOPB | CREAD | CLOCAL | HUPCL | CRTSCTS;
  saved.c_lflag = ISIG | ICANON | ECHO | IEXTEN | ECHONL | ECHOE | ECHOK | NOFLSH | TOSTOP;
  saved.c_cc[VMIN] = 4;
  saved.c_cc[VTIME] = 9;
  saved.c_cc[VINTR] = 3;
  cfsetispeed(&saved, B9600);
  cfsetospeed(&saved, B9600);

  struct termios raw;
  MakeRawMode(&saved, &raw);
  EXPECT_EQ(raw.c_iflag, static_cast<tcflag_t>(IGNPAR | IUTF8 | IMAXBEL));
  EXPECT_EQ(raw.c_oflag, static_cast<tcflag_t>(ONLCR));
  EXPECT_EQ(raw.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(raw.c_cflag & PARENB, 0u);
  EXPECT_EQ(raw.c_cflag & ~CSIZE, (saved.c_cflag & ~(CSIZE | PARENB)));
  EXPECT_EQ(raw.c_lflag, static_cast<tcflag_t>(ECHONL | ECHOE | ECHOK | NOFLSH | TOSTOP));
  EXPECT_EQ(raw.c_cc[VMIN], 1);
  EXPECT_EQ(raw.c_cc[VTIME], 0);
  EXPECT_EQ(raw.c_cc[VINTR], 3);
  EXPECT_EQ(cfgetispeed(&raw), static_cast<speed_t>(B9600));
}

TEST(FdUtil, InvalidDescriptors) {
  EXPECT_FALSE(IsFdValid(-1));
  EXPECT_EQ(CloseRetry(-1), -1);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_TRUE(IsFdValid(fds[0]));
  EXPECT_EQ(CloseRetry(fds[0]), 0);
  EXPECT_FALSE(IsFdValid(fds[0]));
  CloseRetry(fds[1]);
}

// Linux has released the descriptor when close reports EINTR; closing it
// again would close whatever took its number in the meantime.
TEST(FdUtil, CloseAfterEintrIsDoneAndNeverRepeated) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  g_spareFd = fds[1];
  g_interruptedFd = fds[0];
  EXPECT_EQ(CloseRetry(fds[0]), 0);
  const int reused = g_reusedBy;
  EXPECT_EQ(reused, fds[0]) << "the number was not free again at once";
  EXPECT_TRUE(IsFdValid(reused)) << "the descriptor that took the number was closed";
  EXPECT_EQ(g_interruptedFd, -1);
  CloseRetry(reused);
  CloseRetry(fds[1]);
}

}  // namespace
