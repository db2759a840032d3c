// The current interface name of an Ethernet pair, read from the pair's
// "net" directory through a handle kept between passes, with the full
// sysfs lookup (IsUSBDeviceEthernetPort) behind it for every other case.
#ifndef E1CTLD_ETHERNET_PAIR_LOOKUP_H_
#define E1CTLD_ETHERNET_PAIR_LOOKUP_H_

#include "core/controller.h"

// Same contract as IsUSBDeviceEthernetPort (ethPath[i], ":1.0", quiet):
// true when the pair's interface directory can be read, with *name the
// greatest entry of its "net" directory (a new string) or null. A kept
// handle that reads no name, or fails, is closed and the full lookup
// decides, so that a removed directory is reported as unreadable.
// Requires: main thread; ethPath[i] not null.
bool LookUpPairName(E1Controller* c, int i, char** name);

// Closes the pair's handle when the directory at its path is no longer the
// one it has open (replaced, or gone). Requires: main thread.
void RecheckPairHandle(E1Controller* c, int i);

#endif  // E1CTLD_ETHERNET_PAIR_LOOKUP_H_
