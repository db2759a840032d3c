// Ethernet functions of the known controllers as sysfs shows them, whoever
// drives the controller, and the temporary names that free a wanted name.
#ifndef E1CTLD_DISCOVERY_ETH_FUNCTION_H_
#define E1CTLD_DISCOVERY_ETH_FUNCTION_H_

#include <stddef.h>

#include <string>
#include <vector>

// "e1tmp" + the interface index: where a pass parks an interface whose name
// another pair wants back.
void FormatTemporaryEthName(char* buf, size_t size, unsigned ifIndex);
// True for a name of that form ("e1tmp" and digits only).
bool IsTemporaryEthName(const char* name);

// The Ethernet functions at a pair port of a known controller model in
// sysfs (under DevicesRoot()), whether or not this process drives that
// controller, by interface name: one walk of sysfs, made on the first
// question after a Forget and kept until the next.
struct KnownEthFunctions {
  bool built;
  std::vector<std::string> names;
};
void ForgetKnownEthFunctions(KnownEthFunctions* m);
// True when `ifName` is one of them. False when sysfs cannot be read.
bool IsKnownControllerEthernet(KnownEthFunctions* m, const char* ifName);

#endif  // E1CTLD_DISCOVERY_ETH_FUNCTION_H_
