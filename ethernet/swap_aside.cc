#include "ethernet/swap_aside.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "discovery/eth_function.h"
#include "ethernet/if_requests.h"
#include "ethernet/pair_lookup.h"

namespace {

// Interfaces parked under a temporary name. Written by the main thread in
// the pass, read by the exit handler on whichever thread ends the process.
struct Parked {
  bool used;
  unsigned index;
  int sock;
  bool wasUp;
  char tempName[IFNAMSIZ];
  char oldName[IFNAMSIZ];
  char wantedName[IFNAMSIZ];  // empty for another daemon's interface
};
constexpr int kMaxParked = 3 * kMaxEthPairs;
pthread_mutex_t g_parkedLock = PTHREAD_MUTEX_INITIALIZER;
Parked g_parked[kMaxParked];

void Park(const Parked& p) {
  pthread_mutex_lock(&g_parkedLock);
  int slot = 0;
  for (int k = 0; k < kMaxParked; ++k) {
    if (!g_parked[k].used || g_parked[k].index == p.index) {
      slot = k;
      break;
    }
  }
  g_parked[slot] = p;  // a full table forgets the oldest slot
  pthread_mutex_unlock(&g_parkedLock);
}

void Unpark(const char* tempName) {
  pthread_mutex_lock(&g_parkedLock);
  for (Parked& p : g_parked) {
    if (p.used && strcmp(p.tempName, tempName) == 0) p.used = false;
  }
  pthread_mutex_unlock(&g_parkedLock);
}

void CopyName(char* dst, const char* src) {
  snprintf(dst, IFNAMSIZ, "%s", src != nullptr ? src : "");
}

// The current interface names of the registry's pairs and the Ethernet
// functions of known controllers, each looked up once per pass on the
// first failing rename and reused by the others, so that a hub of failing
// pairs costs one walk per pass, not one per failing pair.
struct PairName {
  E1Controller* c;
  int pair;
  char current[IFNAMSIZ];
};
struct HolderMaps {
  bool pairsBuilt;
  std::vector<PairName> pairs;
  KnownEthFunctions known;
};
HolderMaps g_holders;

void BuildPairNames() {
  g_holders.pairsBuilt = true;
  g_holders.pairs.clear();
  int count = 0;
  E1Controller* const* cs = GetControllers(&count);
  for (int k = 0; k < count; ++k) {
    E1Controller* o = cs[k];
    int pairs = o->ethPairs < kMaxEthPairs ? o->ethPairs : kMaxEthPairs;
    for (int j = 0; j < pairs; ++j) {
      if (o->ethName[j] == nullptr || o->ethPath[j] == nullptr) continue;
      char* current = nullptr;
      if (LookUpPairName(o, j, &current) && current != nullptr) {
        PairName p = {o, j, {}};
        CopyName(p.current, current);
        g_holders.pairs.push_back(p);
      }
      free(current);
    }
  }
}

// True when the interface that now carries `name` is the current
// interface of another pair that the daemon keeps and that wants another
// name: two pairs that swapped names. Stores that pair.
bool FindKeptHolder(const E1Controller* c, int i, const char* name, E1Controller** holder,
                    int* holderPair) {
  if (!g_holders.pairsBuilt) BuildPairNames();
  for (const PairName& p : g_holders.pairs) {
    E1Controller* o = p.c;
    int j = p.pair;
    if ((o == c && j == i) || strcmp(p.current, name) != 0 ||
        strcasecmp(p.current, o->ethName[j]) == 0) {
      continue;
    }
    *holder = o;
    *holderPair = j;
    return true;
  }
  return false;
}

}  // namespace

void ForgetHolders() {
  g_holders.pairsBuilt = false;
  ForgetKnownEthFunctions(&g_holders.known);
}

bool MoveHolderAside(E1Controller* c, int i, SwapAside* aside) {
  const char* wanted = c->ethName[i];
  aside->holder = nullptr;
  aside->holderPair = 0;
  if (!FindKeptHolder(c, i, wanted, &aside->holder, &aside->holderPair) &&
      !IsKnownControllerEthernet(&g_holders.known, wanted)) {
    return false;
  }
  unsigned index = if_nametoindex(wanted);
  if (index == 0) return false;
  Parked p = {};
  p.used = true;
  p.index = index;
  p.sock = c->ifSock;
  p.wasUp = IsIfUp(c->ifSock, wanted);
  FormatTemporaryEthName(p.tempName, sizeof p.tempName, index);
  CopyName(p.oldName, wanted);
  if (aside->holder != nullptr) CopyName(p.wantedName, aside->holder->ethName[aside->holderPair]);
  SetIfUp(c->ifSock, wanted, false);
  if (RenameIf(c->ifSock, wanted, p.tempName) != 0) {
    if (p.wasUp) SetIfUp(c->ifSock, wanted, true);
    return false;
  }
  LogMessage(6, "Port '%s' renamed to '%s'\n", wanted, p.tempName);
  ForgetHolders();
  Park(p);
  CopyName(aside->tempName, p.tempName);
  // Its pair skips its next visit: the names come from sysfs, and a copy of
  // sysfs that follows the kernel's renames with a delay (such as the test
  // lab's) could still show the name just given up.
  if (aside->holder != nullptr) aside->holder->ethMovedAside[aside->holderPair] = 1;
  return true;
}

void FinishSwap(const SwapAside* aside) {
  E1Controller* h = aside->holder;
  if (h == nullptr) return;  // another daemon's: it renames its own
  int j = aside->holderPair;
  if (RenameIf(h->ifSock, aside->tempName, h->ethName[j]) != 0) return;
  LogMessage(6, "Port '%s' renamed to '%s'\n", aside->tempName, h->ethName[j]);
  Unpark(aside->tempName);
  if (h->ethWasUp[j]) {
    SetIfUp(h->ifSock, h->ethName[j], true);
    LogMessage(6, "Port '%s' has returned to adm up state\n", h->ethName[j]);
  }
}

void RestoreParkedInterfaces() {
  struct timespec until = RealtimeDeadline(100);
  if (pthread_mutex_timedlock(&g_parkedLock, &until) != 0) return;
  for (Parked& p : g_parked) {
    if (!p.used) continue;
    p.used = false;
    // Still parked, and not renamed by anybody since?
    if (if_nametoindex(p.tempName) != p.index) continue;
    const char* back = nullptr;
    if (p.wantedName[0] != '\0' && RenameIf(p.sock, p.tempName, p.wantedName) == 0) {
      back = p.wantedName;
    } else if (RenameIf(p.sock, p.tempName, p.oldName) == 0) {
      back = p.oldName;
    }
    if (back == nullptr) continue;
    LogMessage(6, "Port '%s' renamed to '%s'\n", p.tempName, back);
    if (p.wasUp) SetIfUp(p.sock, back, true);
  }
  pthread_mutex_unlock(&g_parkedLock);
}
