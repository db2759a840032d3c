// Change notifications for the device directory: a serial thread waiting for
// its tty learns at once that a node appeared, moved in or changed its mode
// or owner (as udev does after the kernel made it), instead of at its next
// timed look.
#ifndef E1CTLD_UART_DEV_WATCH_H_
#define E1CTLD_UART_DEV_WATCH_H_

struct DevWatch {
  int fd;           // inotify descriptor, -1 when notifications are unavailable
  int wd;           // the watch on `dir`, -1 while it is not set
  const char* dir;  // the watched directory (not owned)
  int turns;        // timed-out waits since the watch was last renewed
};

enum class DevChange {
  kNone,     // the wait timed out (or only unrelated names changed)
  kChanged,  // a tty node of interest was created, moved in or changed
};

// Starts watching `dir`. Never fails as such: without inotify (or with the
// directory absent) w->fd or w->wd stays -1 and DevWaitChange sleeps out its
// timeout, so the caller falls back to timed looks.
void DevWatchOpen(DevWatch* w, const char* dir);
// Closes the descriptor; the fields are -1 after.
void DevWatchClose(DevWatch* w);

// Waits up to `timeoutMs` for a change of a "ttyACM" name in the directory
// and reads every event queued. A replaced or removed directory is watched
// again (reported as kChanged: what it holds may be new); so is a directory
// found replaced at every 25th timed-out wait (a mount over it sends no
// event). A signal or a read error counts as kNone.
DevChange DevWaitChange(DevWatch* w, int timeoutMs);

#endif  // E1CTLD_UART_DEV_WATCH_H_
