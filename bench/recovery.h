// How fast the daemon puts things back: a replugged controller served again
// (from its tty's reappearance to the replayed blocks at the controller), a
// pair's interface renamed by somebody else given its name back, and what a
// controller that stays unplugged costs meanwhile.
#ifndef E1CTLD_BENCH_RECOVERY_H_
#define E1CTLD_BENCH_RECOVERY_H_

#include <vector>

#include "bench/bench_util.h"

namespace bench {

struct RecoveryResults {
  std::vector<double> replugMs;  // one per cycle
  std::vector<double> renameMs;  // one per cycle
  IdleFigures missing;           // one two-port controller unplugged, its client connected
};

RecoveryResults RunRecovery(const Config& cfg);

}  // namespace bench

#endif  // E1CTLD_BENCH_RECOVERY_H_
