#include "tools/e1ctl/lock_state.h"

#include <stdio.h>
#include <string.h>
#include <sys/sysmacros.h>

namespace e1ctl {

bool ParseProcLocksLine(const char* line, dev_t dev, ino_t inode, int* pid) {
  char kind[16], mode[16], access[16];
  int holder = 0;
  unsigned maj = 0, min = 0;
  unsigned long long ino = 0;
  // Blocked waiters carry "->" before the kind and are not holders.
  if (sscanf(line, "%*d: %15s %15s %15s %d %x:%x:%llu", kind, mode, access, &holder, &maj, &min,
             &ino) == 7 &&
      strcmp(kind, "->") != 0 && makedev(maj, min) == dev && ino == inode) {
    *pid = holder;
    return true;
  }
  return false;
}

std::string DescribeLock(const LockInfo& l, const std::string& holderName) {
  std::string text;
  switch (l.kind) {
    case LockInfo::kNone:
      text = "none (no daemon serves it)";
      break;
    case LockInfo::kHeld:
      text =
          l.pid > 0 ? "held by pid " + std::to_string(l.pid) : "held by a process not visible here";
      if (!holderName.empty()) text += " (" + holderName + ")";
      break;
    case LockInfo::kUnknown:
      return "unknown: the lock file cannot be read (" + l.unread +
             ") nor /proc/locks: run as root to know";
  }
  if (!l.unread.empty())
    text += " [from /proc/locks: the lock file is not readable: " + l.unread + "]";
  return text;
}

}  // namespace e1ctl
