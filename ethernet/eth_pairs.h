// The Ethernet pair pass: keeps each pair's interface under the name it had
// at discovery, renaming it back and restoring its administrative up state.
#ifndef E1CTLD_ETHERNET_ETH_PAIRS_H_
#define E1CTLD_ETHERNET_ETH_PAIRS_H_

#include "core/controller.h"

// One pass over the controller's pairs. Each kind of outcome is logged once
// per change (ethLastStatus); rename attempts are logged every time. When
// a pair's wanted name is held by the interface of another pair of the
// registry or of another known controller (two pairs that swapped names),
// that interface is first moved to a temporary name (see swap_aside.h).
// Runs on the main thread only.
// Always 0.
int SyncEthPairs(E1Controller* c);

enum class EthPassKind {
  kFull,  // every pair looked up in sysfs
  kIdle,  // the pairs that notifications do not watch, or named
  kNews,  // only the pairs that notifications named
};

// One pass of that kind over the controller's pairs (see eth_pairs.h for
// what a visit does). False when a pair of a kNews pass was left for a
// later look because sysfs did not show the notified change yet.
// Requires: main thread.
bool SyncEthPairsOf(E1Controller* c, EthPassKind kind);

// Whether visits learn the index of each interface found under its wanted
// name (ethIfIndex), for link notifications to follow it; off by default.
// Requires: main thread.
void SetPairIndexesWatched(bool on);

#endif  // E1CTLD_ETHERNET_ETH_PAIRS_H_
