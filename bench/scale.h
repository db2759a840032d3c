// The daemon's size against the number of controllers: time to be ready,
// threads, descriptors, resident memory and idle cost for 1 to 128
// controllers; discovery of 64 controllers; and the main thread's cost with
// 128 pairs whose renames keep failing.
#ifndef E1CTLD_BENCH_SCALE_H_
#define E1CTLD_BENCH_SCALE_H_

#include <map>

#include "bench/bench_util.h"

namespace bench {

struct ScaleFigures {
  double readyMs = 0;  // from the start to every port socket made
  int threads = 0;
  int descriptors = 0;
  int64_t rssKb = 0;
  IdleFigures idle;  // each controller with one client, connected and left alone
};

struct ScaleResults {
  std::map<int, ScaleFigures> bySize;  // by number of two-port controllers
  double discoveryMs = 0;              // 64 controllers, table mode, median run
  IdleFigures failingPairs;            // 64 controllers, 128 failing renames
  long renameErrors = 0;               // error lines logged while measured
};

ScaleResults RunScale(const Config& cfg);

}  // namespace bench

#endif  // E1CTLD_BENCH_SCALE_H_
