// The daemon's one clock for intervals: monotonic, so that a change of the
// wall clock neither stretches nor cuts a wait.
#ifndef E1CTLD_CORE_CLOCK_H_
#define E1CTLD_CORE_CLOCK_H_

#include <stdint.h>
#include <time.h>

// Milliseconds of CLOCK_MONOTONIC.
int64_t NowMs();

// The wall-clock time `ms` milliseconds from now, for the pthread calls
// that take an absolute CLOCK_REALTIME deadline (timed locks and waits).
struct timespec RealtimeDeadline(int64_t ms);

#endif  // E1CTLD_CORE_CLOCK_H_
