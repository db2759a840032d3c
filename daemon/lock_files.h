// One lock file per controller, so that two daemons never drive the same
// controller.
#ifndef E1CTLD_DAEMON_LOCK_FILES_H_
#define E1CTLD_DAEMON_LOCK_FILES_H_

#include "core/controller.h"

// Opens c->lockPath and takes a whole-file write lock without waiting. On
// failure ends the process with the error number as status and a message
// naming the lock holder.
void TakeLockFile(E1Controller* c, const char* invocation);

// The command name of process `pid` (from /proc/<pid>/comm, without its
// newline) as a new string, or null when it cannot be read.
char* ReadProcessName(int pid);

#endif  // E1CTLD_DAEMON_LOCK_FILES_H_
