// The normal run: lock files, UARTs, serial and port threads, then the main
// loop that serves the auxiliary sockets and runs the Ethernet pass.
#ifndef E1CTLD_DAEMON_SUPERVISOR_H_
#define E1CTLD_DAEMON_SUPERVISOR_H_

#include <pthread.h>

#include "core/controller.h"

// Never returns: the process ends through a signal or a fatal error.
[[noreturn]] void RunSupervisor(E1Controller* const* controllers, int count,
                                const char* invocation);

// Starts `body` on a thread with the daemon's worker stack size.
// Returns 0 or the pthread error number.
int StartWorker(pthread_t* thread, void* (*body)(void*), void* arg);

#endif  // E1CTLD_DAEMON_SUPERVISOR_H_
