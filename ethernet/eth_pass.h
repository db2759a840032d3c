// When the Ethernet pass runs and what it looks at: a regular pass every
// 200 ms, and, where link notifications watch the pairs' interfaces, a
// pass at once when one of them got another name, while idle regular
// passes leave those pairs alone.
#ifndef E1CTLD_ETHERNET_ETH_PASS_H_
#define E1CTLD_ETHERNET_ETH_PASS_H_

#include <stdint.h>

#include "core/controller.h"
#include "ethernet/eth_pairs.h"

// The main loop's side of the passes.
struct EthPassState {
  int linkFd;                // the notification socket; -1 without (every pass full)
  bool linkSeen;             // a notification since the last regular pass
  bool resync;               // notifications were lost: a full pass at once
  bool newsDue;              // a watched interface got another name: a pass at once
  int64_t retryAtMs;         // a pair left for a later look; -1 when none
  unsigned turnsSinceCheck;  // regular passes since the handles were last checked
};

// Opens the notifications when sysfs shows this process's network
// namespace (that of process 1 whose tree is read, and not -i); without
// them linkFd is -1 and every pass stays a full one.
void OpenEthPass(EthPassState* s);

// Reads the waiting notifications into the pairs they concern; true when a
// pass is due at once (RunNewsPass). Requires: main thread.
bool ServeLinkNotifications(EthPassState* s, E1Controller* const* cs, int count);

// The regular pass: full after a notification, a loss or a failure of the
// notifications, and every fifth pass; idle otherwise.
void RunRegularPass(EthPassState* s, E1Controller* const* cs, int count);

// The pass at once: a full one after a loss, else one over the pairs that
// notifications named; a pair whose sysfs lags is looked at again a few ms
// later (retryAtMs), until the next regular pass takes it over.
void RunNewsPass(EthPassState* s, E1Controller* const* cs, int count, int64_t nowMs);

#endif  // E1CTLD_ETHERNET_ETH_PASS_H_
