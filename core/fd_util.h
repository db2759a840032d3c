// Small descriptor and terminal utilities shared by the serial and port code.
#ifndef E1CTLD_CORE_FD_UTIL_H_
#define E1CTLD_CORE_FD_UTIL_H_

#include <termios.h>

// close() called once. 0 when the descriptor is released, EINTR included
// (Linux frees it then too, so it is never closed again); -1 with errno
// otherwise (EBADF for a descriptor that was not open).
int CloseRetry(int fd);
// True when `fd` is an open descriptor.
bool IsFdValid(int fd);
// Reads the line settings into *saved, applies a raw 8-bit copy of them
// (stored in *raw). Always 0; terminal call failures are ignored.
int SetRawMode(int fd, struct termios* saved, struct termios* raw);
// Derives the raw settings from `saved`: only the flags that raw mode needs
// change, speed, stop bits and flow control keep their values.
void MakeRawMode(const struct termios* saved, struct termios* raw);
// Discards pending input and output and applies `saved` at once.
void RestoreMode(int fd, const struct termios* saved);
// Sleeps `ms` milliseconds (a poll on no descriptors).
void SleepMs(int ms);

#endif  // E1CTLD_CORE_FD_UTIL_H_
