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

#endif  // E1CTLD_ETHERNET_ETH_PAIRS_H_
