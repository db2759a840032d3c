// Reads who holds a controller's lock: from the lock file itself, else
// from /proc/locks. Never fails: what cannot be read is kUnknown.
#ifndef E1CTLD_TOOLS_E1CTL_LOCK_PROBE_H_
#define E1CTLD_TOOLS_E1CTL_LOCK_PROBE_H_

#include <string>

#include "tools/e1ctl/lock_state.h"

namespace e1ctl {

// The lock state of a controller: from its lock file (F_GETLK), or, when
// this user may not open it (the daemon creates it without permission
// bits), from /proc/locks; kUnknown only when neither can be read. No lock
// file: kNone.
LockInfo ReadLock(const std::string& ctlIf);

// The lock state of the controller behind a socket path; kUnknown when the
// path is no port socket's.
LockInfo ReadLockOfSocket(const std::string& socketPath);

// The command name of a process, or "" when it cannot be read.
std::string ProcessName(int pid);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_LOCK_PROBE_H_
