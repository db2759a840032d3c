// Walks the USB driver trees of sysfs for control interfaces and hands each
// candidate to the controller analysis, which fills the registry.
#ifndef E1CTLD_DISCOVERY_SYSFS_SCAN_H_
#define E1CTLD_DISCOVERY_SYSFS_SCAN_H_

#include <dirent.h>

#include "core/controller.h"

extern const char* const KnownUSBDrivers[];
extern const int kKnownUSBDriverCount;

// Directory filter for scandir: nonzero keeps a known driver's entry.
int FilterKnownDriver(const struct dirent* d);

// Analyses every interface entry of one driver directory; returns how many
// controllers were added to the registry.
int SearchUSBPathDir(const char* driverDir);
// Analyses every interface entry of every known driver; returns the registry
// (null when empty) and stores its count.
E1Controller* const* SearchKnownE1_QZXcontrollers(int* count);
// Analyses the interface entries that match `ctlDevice`; returns how many
// controllers were added.
int CheckForE1_QZXcontroller(const char* ctlDevice);
// True when the shorter of the two names is a prefix of the other, ignoring
// ASCII case (an empty name matches everything).
bool MatchCtlDevice(const char* entryName, const char* ctlDevice);

#endif  // E1CTLD_DISCOVERY_SYSFS_SCAN_H_
