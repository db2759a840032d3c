// Who holds a controller's lock file, and how e1ctl says so. Pure: the
// facts come from lock_probe, which reads them.
#ifndef E1CTLD_TOOLS_E1CTL_LOCK_STATE_H_
#define E1CTLD_TOOLS_E1CTL_LOCK_STATE_H_

#include <sys/types.h>

#include <string>

namespace e1ctl {

struct LockInfo {
  enum Kind { kNone, kHeld, kUnknown } kind = kUnknown;
  int pid = 0;         // kHeld: the holder, 0 when not visible from here
  std::string unread;  // why the lock file itself could not be read, if so
};

// One line of /proc/locks ("1: POSIX  ADVISORY  WRITE 812 fd:01:1234 0 EOF"):
// true, the pid in `pid`, when it names the holder of a lock on inode
// `inode` of device `dev`; false for other files, waiters ("->") and lines
// of any other form.
bool ParseProcLocksLine(const char* line, dev_t dev, ino_t inode, int* pid);

// The lock state in words; `holderName` is the holder's command name, ""
// when unknown.
std::string DescribeLock(const LockInfo& l, const std::string& holderName);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_LOCK_STATE_H_
