// The monotonic clock that e1ctl's waits are measured by.
#ifndef E1CTLD_TOOLS_E1CTL_CLOCK_H_
#define E1CTLD_TOOLS_E1CTL_CLOCK_H_

#include <time.h>

namespace e1ctl {

// Seconds since an arbitrary start; never goes back.
inline double NowSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_CLOCK_H_
