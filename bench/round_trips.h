// Round trips of one command and its reply, and pipelined replies with a
// window of commands outstanding, through the daemon (alone and with an
// `e1ctl monitor` attached), straight through the pty and through socat.
#ifndef E1CTLD_BENCH_ROUND_TRIPS_H_
#define E1CTLD_BENCH_ROUND_TRIPS_H_

#include <string>
#include <vector>

#include "bench/bench_util.h"

namespace bench {

struct LatencyFigures {
  double p50 = 0, p90 = 0, p99 = 0;  // microseconds
  double cpuUsPerRt = -1;            // forwarding process CPU per round trip, -1: none
  double repliesPerSec = 0;
};

struct PathRow {
  std::string name;
  LatencyFigures f;
};

struct RoundTripResults {
  // "e1ctld", "e1ctld + monitor", "direct pty", "socat", in that order.
  std::vector<PathRow> rows;
  long monitorLines = 0;  // lines the monitors received in all: proves it watched
  const LatencyFigures& Of(const std::string& name) const;
};

// The paths take turns, cfg.comparisonRounds times; each figure is the
// median of its rounds, so that a burst of load on the machine does not
// decide a comparison.
RoundTripResults RunRoundTrips(const Config& cfg);

}  // namespace bench

#endif  // E1CTLD_BENCH_ROUND_TRIPS_H_
