#include "ethernet/eth_pairs.h"

#include <errno.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "core/log.h"
#include "discovery/sysfs_names.h"
#include "ethernet/if_requests.h"
#include "ethernet/swap_aside.h"

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

static void SyncPair(E1Controller* c, int i) {
  if (c->ethMovedAside[i]) {
    c->ethMovedAside[i] = 0;
    return;
  }
  if (c->ethName[i] == nullptr || c->ethPath[i] == nullptr) {
    // Discovery found no name (or could not build the path): there is no
    // name to keep, so the pair is left alone.
    if (RecordOutcome(c, i, EINVAL)) {
      LogMessage(5, "Ethernet pair #%d of %s has no wanted name, left as it is.\n", i,
                 c->usbIfName);
    }
    NotePair(c, i, PairOutcome::kNoName, nullptr);
    return;
  }
  char* current = nullptr;
  if (!IsUSBDeviceEthernetPort(c->ethPath[i], ":1.0", true, &current)) {
    // A controller pulled out: a notice, printed as a warning as ever.
    if (RecordOutcome(c, i, ENODEV))
      LogMessageWithPriority(4, 5, "USB device is not ethernet port.\n");
    NotePair(c, i, PairOutcome::kMissing, nullptr);
    return;
  }
  if (current == nullptr) {
    if (RecordOutcome(c, i, ENODEV)) {
      LogMessageWithPriority(4, 5, "USB netdevice has no name in namespace.\n");
    }
    NotePair(c, i, PairOutcome::kMissing, nullptr);
    return;
  }
  if (strcasecmp(current, c->ethName[i]) == 0) {
    c->ethWasUp[i] = IsIfUp(c->ifSock, current);
    if (RecordOutcome(c, i, 0)) {
      LogMessage(6, "Ethername is the same '%s'/'%s', no change requered.\n", current,
                 c->ethName[i]);
    }
    NotePair(c, i, PairOutcome::kSame, current);
    free(current);
    return;
  }
  if (GetIfFlags(c->ifSock, current) == 0) {
    if (RecordOutcome(c, i, ENOENT)) {
      LogMessageWithPriority(4, 5, "Can't obtain adm state for '%s'\n", current);
    }
    NotePair(c, i, PairOutcome::kMissing, current);
    free(current);
    return;
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
    if (moved) FinishSwap(&aside);
    Bump(c->counters.pairs[i].renames);
    NotePair(c, i, PairOutcome::kRenamed, c->ethName[i]);
  }
  free(current);
}

int SyncEthPairs(E1Controller* c) {
  int pairs = c->ethPairs < kMaxEthPairs ? c->ethPairs : kMaxEthPairs;
  for (int i = 0; i < pairs; ++i) SyncPair(c, i);
  return 0;
}
