// Swapped names: a pair's wanted name held by another controller's
// Ethernet function is freed by moving that interface to a temporary name
// for the moment of the rename; what is still parked at exit is put back.
#ifndef E1CTLD_ETHERNET_SWAP_ASIDE_H_
#define E1CTLD_ETHERNET_SWAP_ASIDE_H_

#include <net/if.h>

#include "core/controller.h"

// An interface moved to a temporary name, and who wants it back.
struct SwapAside {
  char tempName[IFNAMSIZ];
  E1Controller* holder;  // the registry's pair that owns it; null for another daemon's
  int holderPair;
};

// Drops what the holder lookups of MoveHolderAside learnt: call it when a
// pass begins and after every rename that succeeded. Requires: main thread.
void ForgetHolders();

// Frees the wanted name of pair `i` of `c` when the interface holding it is
// the current interface of another pair of this registry that wants another
// name, or the Ethernet function of another known controller in sysfs (one
// that another daemon drives): that interface is taken down and renamed to
// a temporary name (logged as a rename) and remembered for the exit. False
// when the holder is neither, or it could not be moved.
// Requires: main thread (the Ethernet pass).
bool MoveHolderAside(E1Controller* c, int i, SwapAside* aside);

// After pair `i` got its wanted name: a holder of this registry gets its own
// wanted name at once (and its up state), within the same pass; another
// daemon's interface is left for that daemon. What cannot be finished stays
// parked for the holder's next visit and the exit.
// Requires: main thread.
void FinishSwap(const SwapAside* aside);

// Exit handler: every interface still parked under a temporary name is
// renamed to its holder's wanted name, or back to the name it had, where
// that name is free, and brought up when it was up before. Safe on any
// thread; it waits at most 100 ms for a pass under way.
void RestoreParkedInterfaces();

#endif  // E1CTLD_ETHERNET_SWAP_ASIDE_H_
