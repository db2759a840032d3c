#include "core/fd_util.h"

#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

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

}  // namespace
