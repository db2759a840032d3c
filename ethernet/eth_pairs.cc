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

// Stores `code` as the pair's last outcome; true when it changed, that is
// when the outcome's message is to be logged.
static bool RecordOutcome(E1Controller* c, int pair, int code) {
  if (c->ethLastStatus[pair] == static_cast<uint32_t>(code)) return false;
  c->ethLastStatus[pair] = static_cast<uint32_t>(code);
  return true;
}

// True when the interface that now carries `name` is the current
// interface of another pair that the daemon keeps and that wants another
// name: two pairs that swapped names. Stores that pair.
static bool FindKeptHolder(const E1Controller* c, int i, const char* name, E1Controller** holder,
                           int* holderPair) {
  int count = 0;
  E1Controller* const* cs = GetControllers(&count);
  for (int k = 0; k < count; ++k) {
    E1Controller* o = cs[k];
    int pairs = o->ethPairs < kMaxEthPairs ? o->ethPairs : kMaxEthPairs;
    for (int j = 0; j < pairs; ++j) {
      if ((o == c && j == i) || o->ethName[j] == nullptr || o->ethPath[j] == nullptr) continue;
      char* current = nullptr;
      if (!IsUSBDeviceEthernetPort(o->ethPath[j], ":1.0", true, &current)) continue;
      bool found = current != nullptr && strcmp(current, name) == 0 &&
                   strcasecmp(current, o->ethName[j]) != 0;
      free(current);
      if (found) {
        *holder = o;
        *holderPair = j;
        return true;
      }
    }
  }
  return false;
}

// Frees the wanted name of pair `i` when a kept pair's interface holds it:
// that interface is taken down and moved to a temporary name derived from
// its interface index ("e1tmp" + index); its own pair gives it its wanted
// name and up state on the next pass. False when nothing was moved.
static bool MoveKeptHolderAside(E1Controller* c, int i) {
  E1Controller* holder = nullptr;
  int holderPair = 0;
  if (!FindKeptHolder(c, i, c->ethName[i], &holder, &holderPair)) return false;
  unsigned index = if_nametoindex(c->ethName[i]);
  if (index == 0) return false;
  char temp[IFNAMSIZ];
  snprintf(temp, sizeof temp, "e1tmp%u", index);
  SetIfUp(c->ifSock, c->ethName[i], false);
  if (RenameIf(c->ifSock, c->ethName[i], temp) != 0) return false;
  LogMessage(6, "Port '%s' renamed to '%s'\n", c->ethName[i], temp);
  // Its pair looks the new name up on the next pass, not later in this
  // one: the names come from sysfs, and a copy of sysfs that follows the
  // kernel's renames with a delay (such as the test lab's) could still
  // show the name just given up.
  holder->ethMovedAside[holderPair] = 1;
  return true;
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
    return;
  }
  char* current = nullptr;
  if (!IsUSBDeviceEthernetPort(c->ethPath[i], ":1.0", true, &current)) {
    if (RecordOutcome(c, i, ENODEV)) LogMessage(4, "USB device is not ethernet port.\n");
    return;
  }
  if (current == nullptr) {
    if (RecordOutcome(c, i, ENODEV)) LogMessage(4, "USB netdevice has no name in namespace.\n");
    return;
  }
  if (strcasecmp(current, c->ethName[i]) == 0) {
    c->ethWasUp[i] = IsIfUp(c->ifSock, current);
    if (RecordOutcome(c, i, 0)) {
      LogMessage(6, "Ethername is the same '%s'/'%s', no change requered.\n", current,
                 c->ethName[i]);
    }
    free(current);
    return;
  }
  if (GetIfFlags(c->ifSock, current) == 0) {
    if (RecordOutcome(c, i, ENOENT)) LogMessage(4, "Can't obtain adm state for '%s'\n", current);
    free(current);
    return;
  }
  LogMessage(6, "Port '%s' adm %s\n", current, c->ethWasUp[i] ? "up" : "down");
  SetIfUp(c->ifSock, current, false);
  int rc = RenameIf(c->ifSock, current, c->ethName[i]);
  int e = errno;
  // Two of the daemon's pairs that swapped names would otherwise block each
  // other for good: move the other one out of the way and try once more.
  if (rc != 0 && MoveKeptHolderAside(c, i)) {
    rc = RenameIf(c->ifSock, current, c->ethName[i]);
    e = errno;
  }
  if (rc != 0) {
    LogMessage(3, "Error renaming '%s' to '%s': %s (%d)\n", current, c->ethName[i], strerror(e), e);
  } else {
    LogMessage(6, "Port '%s' renamed to '%s'\n", current, c->ethName[i]);
    if (c->ethWasUp[i]) {
      SetIfUp(c->ifSock, c->ethName[i], true);
      LogMessage(6, "Port '%s' has returned to adm up state\n", c->ethName[i]);
    }
  }
  free(current);
}

int SyncEthPairs(E1Controller* c) {
  int pairs = c->ethPairs < kMaxEthPairs ? c->ethPairs : kMaxEthPairs;
  for (int i = 0; i < pairs; ++i) SyncPair(c, i);
  return 0;
}
