// The normal run: lock files, UARTs, serial and port threads, then the main
// loop that serves the auxiliary sockets and runs the Ethernet pass.
#ifndef E1CTLD_DAEMON_SUPERVISOR_H_
#define E1CTLD_DAEMON_SUPERVISOR_H_

#include "core/controller.h"

// Never returns: the process ends through a signal or a fatal error.
[[noreturn]] void RunSupervisor(E1Controller* const* controllers, int count,
                                const char* invocation);

#endif  // E1CTLD_DAEMON_SUPERVISOR_H_
