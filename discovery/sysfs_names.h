// Name lookups in the USB sysfs trees: the two roots, the directory filters,
// a sorted walk, and the tty and network interface names under a USB path.
// Every returned name is a new string owned by the caller; a name not found
// is null.
#ifndef E1CTLD_DISCOVERY_SYSFS_NAMES_H_
#define E1CTLD_DISCOVERY_SYSFS_NAMES_H_

#include <dirent.h>
#include <stdlib.h>

#include "core/controller.h"

// Roots of the two trees: under "/proc/1/root" unless inNamespace is set.
const char* DriversRoot();
const char* DevicesRoot();

// Directory filters for scandir: nonzero keeps the entry.
int FilterUSBInterfaceName(const struct dirent* d);
int FilterTTYDir(const struct dirent* d);
int FilterTTYACMName(const struct dirent* d);
int FilterNETDir(const struct dirent* d);
int FilterNotDots(const struct dirent* d);
// The same test on a bare name, for callers without a dirent.
bool IsUSBInterfaceName(const char* name);

// Lists `dir` with `filter`, sorted byte-wise, and calls `visit` for each name
// from the greatest to the smallest until it returns false. Returns the
// number of names listed, or -1 when the directory cannot be listed (errno
// set).
template <typename Visit>
int WalkDirDescending(const char* dir, int (*filter)(const struct dirent*), Visit visit) {
  struct dirent** list = nullptr;
  int n = scandir(dir, &list, filter, alphasort);
  if (n < 0) return -1;
  bool going = true;
  for (int i = n - 1; i >= 0; --i) {
    if (going) going = visit(list[i]->d_name);
    free(list[i]);
  }
  free(list);
  return n;
}

char* GetTTYPortName(const char* ttyDir);
char* IsUSBDeviceTTYport(const char* usbIfPath, bool quiet);
char* GetNETPortName(const char* netDir);
// True when devicePath+suffix can be listed; *name (when not null) receives
// the network interface name found in its "net" directory, or null.
bool IsUSBDeviceEthernetPort(const char* devicePath, const char* suffix, bool quiet, char** name);

// Refreshes c->ttyName from sysfs; returns it, or null (record unchanged).
// With `lastError`, a listing failure is reported only when the error number
// changed since the previous call.
char* UpdateTTYPortName(E1Controller* c, int* lastError);
// The same. Requires: controller lock NOT held; takes it for the whole call.
char* UpdateTTYPortNameLocked(E1Controller* c, int* lastError);

#endif  // E1CTLD_DISCOVERY_SYSFS_NAMES_H_
