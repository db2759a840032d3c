// A wake-up descriptor (an eventfd): one thread signals it, another thread
// that sleeps in poll with it among its descriptors wakes up and takes the
// signal back. Signals that come before the sleeper takes them merge.
#ifndef E1CTLD_CORE_WAKE_FD_H_
#define E1CTLD_CORE_WAKE_FD_H_

// A new non-blocking, close-on-exec wake-up descriptor, or -1 (errno set).
int OpenWakeFd();

// Makes `fd` readable until the next TakeWake. Never waits; does nothing
// for a negative `fd`.
void SignalWake(int fd);

// Takes back every signal given so far, so that poll waits again. Never
// waits.
void TakeWake(int fd);

#endif  // E1CTLD_CORE_WAKE_FD_H_
