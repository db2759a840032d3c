// The figures of a run, printed as tables, and judged against the targets:
// one PASS or FAIL line per target (a figure shown for information only is
// marked "-"), with every figure also recorded for the JSON file.
#ifndef E1CTLD_BENCH_TARGETS_H_
#define E1CTLD_BENCH_TARGETS_H_

#include <map>
#include <optional>
#include <string>

#include "bench/recovery.h"
#include "bench/round_trips.h"
#include "bench/scale.h"

namespace bench {

// The phases that ran; a target whose phase did not run is not judged.
struct Results {
  std::optional<RoundTripResults> roundTrips;
  std::optional<ScaleResults> scale;
  std::optional<RecoveryResults> recovery;
};

// Prints the tables and the verdicts; returns the number of targets
// missed. Every figure goes into *json under a stable key.
int PrintAndJudge(const Config& cfg, const Results& r, std::map<std::string, double>* json);

}  // namespace bench

#endif  // E1CTLD_BENCH_TARGETS_H_
