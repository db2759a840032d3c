// Starting the daemon's threads.
#ifndef E1CTLD_CORE_WORKER_H_
#define E1CTLD_CORE_WORKER_H_

#include <pthread.h>

// Starts `body(arg)` on a joinable thread with the daemon's worker stack
// size (E1_THREAD_STACK_SIZE: small, larger only under sanitizers).
// Returns 0 or the pthread error number (`thread` is then not set).
int StartWorker(pthread_t* thread, void* (*body)(void*), void* arg);

#endif  // E1CTLD_CORE_WORKER_H_
