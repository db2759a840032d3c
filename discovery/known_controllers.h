// The fixed table of controller models, keyed by USB vendor/product id.
#ifndef E1CTLD_DISCOVERY_KNOWN_CONTROLLERS_H_
#define E1CTLD_DISCOVERY_KNOWN_CONTROLLERS_H_

#include <stdint.h>

struct KnownControllerEntry {
  int32_t vid;
  int32_t pid;
  int32_t ethPairs;
  int32_t pairPorts[3];    // hub port of each pair; -1 = none
  int32_t hubEthPorts[2];  // hub-Ethernet candidates in order; -1 = none
  int32_t e1Ports;
};

extern const KnownControllerEntry kKnownControllers[];
extern const int kKnownControllerCount;

// Reads idVendor and idProduct ("%X") under a USB device path. Always 0; an
// unreadable id is stored as 0, which matches no model.
int ReadUSBIds(const char* devicePath, uint32_t* vid, uint32_t* pid);

// Returns the pair count of the first row with these ids and copies its
// ports through the non-null pointers; 0 and nothing written when unknown.
int LookupKnownController(uint32_t vid, uint32_t pid, int* pairPorts, int* hubEthPorts,
                          int* e1Ports);

#endif  // E1CTLD_DISCOVERY_KNOWN_CONTROLLERS_H_
