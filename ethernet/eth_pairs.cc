#include "ethernet/eth_pairs.h"

#include <errno.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>

#include "core/log.h"
#include "ethernet/if_requests.h"
#include "ethernet/pair_lookup.h"
#include "ethernet/swap_aside.h"

static bool g_indexesWatched = false;

void SetPairIndexesWatched(bool on) {
  g_indexesWatched = on;
}

// Stores `code` as the pair's last outcome; true when it changed, that is
// when the outcome's message is to be logged.
static bool RecordOutcome(E1Controller* c, int pair, int code) {
  if (c->ethLastStatus[pair] == static_cast<uint32_t>(code)) return false;
  c->ethLastStatus[pair] = static_cast<uint32_t>(code);
  return true;
}

// Publishes the pair's visit for the status document.
static void NotePair(E1Controller* c, int pair, PairOutcome o, const char* current) {
  PairCounters& k = c->counters.pairs[pair];
  k.lastOutcome.store(o, std::memory_order_relaxed);
  k.up.store(c->ethWasUp[pair], std::memory_order_relaxed);
  PublishPairName(&k, current);
}

// The index of the interface now called `name` in this network
// namespace, 0 when there is none (or no socket).
static unsigned IfIndexOf(int sock, const char* name) {
  struct ifreq req;
  memset(&req, 0, sizeof req);
  snprintf(req.ifr_name, sizeof req.ifr_name, "%s", name);
  if (ioctl(sock, SIOCGIFINDEX, &req) < 0) return 0;
  return static_cast<unsigned>(req.ifr_ifindex);
}

// True when sysfs does not show yet what the last link notification said
// of the pair's interface (a copy of sysfs that follows the kernel with a
// delay): looking now would take a name the kernel no longer has.
static bool SysfsBehind(const E1Controller* c, int i, bool readable, const char* current) {
  if (!c->ethLinkNews[i]) return false;
  const char* told = c->ethLinkName[i];
  if (told[0] == '\0') return readable && current != nullptr;
  return !readable || current == nullptr || strcmp(current, told) != 0;
}

// One visit; false when the pair was left untouched for a later look
// (only in a pass for notifications, see SysfsBehind).
static bool SyncPair(E1Controller* c, int i, EthPassKind kind) {
  if (c->ethMovedAside[i]) {
    if (kind == EthPassKind::kNews) return true;  // the regular pass's skip
    c->ethMovedAside[i] = 0;
    c->ethIfIndex[i] = 0;
    c->ethLinkNews[i] = 0;
    return true;
  }
  if (c->ethName[i] == nullptr || c->ethPath[i] == nullptr) {
    // Discovery found no name (or could not build the path): there is no
    // name to keep, so the pair is left alone.
    if (RecordOutcome(c, i, EINVAL)) {
      LogMessage(5, "Ethernet pair #%d of %s has no wanted name, left as it is.\n", i,
                 c->usbIfName);
    }
    c->ethIfIndex[i] = 0;
    c->ethLinkNews[i] = 0;
    NotePair(c, i, PairOutcome::kNoName, nullptr);
    return true;
  }
  char* current = nullptr;
  bool readable = LookUpPairName(c, i, &current);
  if (kind == EthPassKind::kNews && SysfsBehind(c, i, readable, current)) {
    free(current);
    return false;
  }
  c->ethIfIndex[i] = 0;
  c->ethLinkNews[i] = 0;
  if (!readable) {
    // A controller pulled out: a notice, printed as a warning as ever.
    if (RecordOutcome(c, i, ENODEV))
      LogMessageWithPriority(4, 5, "USB device is not ethernet port.\n");
    NotePair(c, i, PairOutcome::kMissing, nullptr);
    return true;
  }
  if (current == nullptr) {
    if (RecordOutcome(c, i, ENODEV)) {
      LogMessageWithPriority(4, 5, "USB netdevice has no name in namespace.\n");
    }
    NotePair(c, i, PairOutcome::kMissing, nullptr);
    return true;
  }
  if (strcasecmp(current, c->ethName[i]) == 0) {
    c->ethWasUp[i] = IsIfUp(c->ifSock, current);
    // Known from here on, notifications report this interface's changes.
    if (g_indexesWatched) c->ethIfIndex[i] = IfIndexOf(c->ifSock, current);
    if (RecordOutcome(c, i, 0)) {
      LogMessage(6, "Ethername is the same '%s'/'%s', no change requered.\n", current,
                 c->ethName[i]);
    }
    NotePair(c, i, PairOutcome::kSame, current);
    free(current);
    return true;
  }
  if (GetIfFlags(c->ifSock, current) == 0) {
    if (RecordOutcome(c, i, ENOENT)) {
      LogMessageWithPriority(4, 5, "Can't obtain adm state for '%s'\n", current);
    }
    NotePair(c, i, PairOutcome::kMissing, current);
    free(current);
    return true;
  }
  LogMessage(6, "Port '%s' adm %s\n", current, c->ethWasUp[i] ? "up" : "down");
  SetIfUp(c->ifSock, current, false);
  int rc = RenameIf(c->ifSock, current, c->ethName[i]);
  int e = errno;
  // Two pairs that swapped names would otherwise block each other for good:
  // move the other one out of the way and try once more.
  SwapAside aside;
  bool moved = rc != 0 && MoveHolderAside(c, i, &aside);
  if (moved) {
    rc = RenameIf(c->ifSock, current, c->ethName[i]);
    e = errno;
  }
  if (rc != 0) {
    LogMessage(3, "Error renaming '%s' to '%s': %s (%d)\n", current, c->ethName[i], strerror(e), e);
    Bump(c->counters.pairs[i].renamesFailed);
    NotePair(c, i, PairOutcome::kFailed, current);
  } else {
    LogMessage(6, "Port '%s' renamed to '%s'\n", current, c->ethName[i]);
    if (c->ethWasUp[i]) {
      SetIfUp(c->ifSock, c->ethName[i], true);
      LogMessage(6, "Port '%s' has returned to adm up state\n", c->ethName[i]);
    }
    // Under its wanted name again: notifications follow it from now on, so
    // that a rename soon after this one is undone at once too.
    if (g_indexesWatched) c->ethIfIndex[i] = IfIndexOf(c->ifSock, c->ethName[i]);
    // Names changed: what the holder lookups learnt this pass is stale.
    ForgetHolders();
    if (moved) FinishSwap(&aside);
    Bump(c->counters.pairs[i].renames);
    NotePair(c, i, PairOutcome::kRenamed, c->ethName[i]);
  }
  free(current);
  return true;
}

// Whether a pass of this kind looks at the pair: a full pass at every
// pair; an idle one not at a pair whose interface notifications watch and
// of which none came; a pass for notifications only at pairs they named.
static bool Visits(const E1Controller* c, int i, EthPassKind kind) {
  switch (kind) {
    case EthPassKind::kFull:
      return true;
    case EthPassKind::kIdle:
      return c->ethIfIndex[i] == 0 || c->ethLinkNews[i] != 0;
    case EthPassKind::kNews:
      return c->ethLinkNews[i] != 0;
  }
  return true;
}

bool SyncEthPairsOf(E1Controller* c, EthPassKind kind) {
  bool done = true;
  int pairs = c->ethPairs < kMaxEthPairs ? c->ethPairs : kMaxEthPairs;
  for (int i = 0; i < pairs; ++i) {
    if (Visits(c, i, kind)) done = SyncPair(c, i, kind) && done;
  }
  return done;
}

int SyncEthPairs(E1Controller* c) {
  SyncEthPairsOf(c, EthPassKind::kFull);
  return 0;
}
