// The daemon's one clock for intervals: monotonic, so that a change of the
// wall clock neither stretches nor cuts a wait.
#ifndef E1CTLD_CORE_CLOCK_H_
#define E1CTLD_CORE_CLOCK_H_

#include <stdint.h>

// Milliseconds of CLOCK_MONOTONIC.
int64_t NowMs();

#endif  // E1CTLD_CORE_CLOCK_H_
