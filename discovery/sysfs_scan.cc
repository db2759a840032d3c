#include "discovery/sysfs_scan.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "core/log.h"
#include "discovery/analyze.h"
#include "discovery/sysfs_names.h"

const char* const KnownUSBDrivers[] = {"cdc_acm"};
const int kKnownUSBDriverCount = 1;

int FilterKnownDriver(const struct dirent* d) {
  for (int i = 0; i < kKnownUSBDriverCount; ++i) {
    if (strcmp(d->d_name, KnownUSBDrivers[i]) == 0) return 1;
  }
  return 0;
}

int SearchUSBPathDir(const char* driverDir) {
  int total = 0;
  int n = WalkDirDescending(driverDir, FilterUSBInterfaceName, [&](const char* name) {
    LogMessage(7, "%s: found ctlUART at %s\n", "SearchUSBPathDir", name);
    total += AnalyzeE1Controller(name);
    return true;
  });
  if (n < 0) {
    LogMessage(3, "%s: scandir error\n", "SearchUSBPathDir");
    return 0;
  }
  return total;
}

E1Controller* const* SearchKnownE1_QZXcontrollers(int* count) {
  int n = WalkDirDescending(DriversRoot(), FilterKnownDriver, [](const char* name) {
    char dir[303];
    snprintf(dir, sizeof dir, "%s/%s", DriversRoot(), name);
    SearchUSBPathDir(dir);
    return true;
  });
  if (n < 0) {
    LogMessage(3, "%s: scandir error\n", "SearchKnownE1_QZXcontrollers");
    if (count != nullptr) *count = 0;
    return nullptr;
  }
  return GetControllers(count);
}

bool MatchCtlDevice(const char* entryName, const char* ctlDevice) {
  size_t a = strlen(entryName);
  size_t b = strlen(ctlDevice);
  return strncasecmp(entryName, ctlDevice, a < b ? a : b) == 0;
}

int CheckForE1_QZXcontroller(const char* ctlDevice) {
  int total = 0;
  for (int d = 0; d < kKnownUSBDriverCount; ++d) {
    char dir[303];
    snprintf(dir, sizeof dir, "%s/%s", DriversRoot(), KnownUSBDrivers[d]);
    int n = WalkDirDescending(dir, FilterUSBInterfaceName, [&](const char* name) {
      LogMessage(7, "%s: found ctlUART at %s\n", "CheckForE1_QZXcontroller", name);
      if (MatchCtlDevice(name, ctlDevice)) {
        total += AnalyzeE1Controller(name);
      } else {
        // Another interface of the driver (the data interface of the same
        // controller, say): nothing wrong, printed as ever.
        LogMessageWithPriority(3, 6, "%s: path %s doesn't match %s \n", "CheckForE1_QZXcontroller",
                               name, ctlDevice);
      }
      return true;
    });
    if (n < 0) LogMessage(3, "%s: scandir error\n", "CheckForE1_QZXcontroller");
  }
  return total;
}
