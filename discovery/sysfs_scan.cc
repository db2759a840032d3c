#include "discovery/sysfs_scan.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "core/log.h"
#include "discovery/analyze.h"

const char* const KnownUSBDrivers[] = {"cdc_acm"};
const int kKnownUSBDriverCount = 1;

const char* DriversRoot() {
  return g_options.inNamespace ? "/sys/bus/usb/drivers" : "/proc/1/root/sys/bus/usb/drivers";
}

const char* DevicesRoot() {
  return g_options.inNamespace ? "/sys/bus/usb/devices" : "/proc/1/root/sys/bus/usb/devices";
}

int FilterKnownDriver(const struct dirent* d) {
  for (int i = 0; i < kKnownUSBDriverCount; ++i) {
    if (strcmp(d->d_name, KnownUSBDrivers[i]) == 0) return 1;
  }
  return 0;
}

bool IsUSBInterfaceName(const char* name) {
  bool digit = false;
  for (const char* p = name; *p != '\0'; ++p) {
    if (strchr("0123456789.:-", *p) == nullptr) return false;
    if (*p >= '0' && *p <= '9') digit = true;
  }
  return digit;
}

int FilterUSBInterfaceName(const struct dirent* d) {
  return IsUSBInterfaceName(d->d_name);
}
int FilterTTYDir(const struct dirent* d) {
  return strcmp(d->d_name, "tty") == 0;
}
int FilterTTYACMName(const struct dirent* d) {
  return strstr(d->d_name, "ttyACM") != nullptr;
}
int FilterNETDir(const struct dirent* d) {
  return strcmp(d->d_name, "net") == 0;
}
int FilterNotDots(const struct dirent* d) {
  return strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0;
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

E1Controller* SearchKnownE1_QZXcontrollers(int* count) {
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
        LogMessage(3, "%s: path %s doesn't match %s \n", "CheckForE1_QZXcontroller", name,
                   ctlDevice);
      }
      return true;
    });
    if (n < 0) LogMessage(3, "%s: scandir error\n", "CheckForE1_QZXcontroller");
  }
  return total;
}

// Copies the first name visited (the greatest) out of `dir`.
static char* FirstNameIn(const char* dir, int (*filter)(const struct dirent*), const char* tag) {
  char* found = nullptr;
  int n = WalkDirDescending(dir, filter, [&](const char* name) {
    found = strdup(name);
    return false;
  });
  if (n < 0) LogMessage(3, "%s: scandir error\n", tag);
  return found;
}

char* GetTTYPortName(const char* ttyDir) {
  return FirstNameIn(ttyDir, FilterTTYACMName, "GetTTYPortName");
}

char* GetNETPortName(const char* netDir) {
  return FirstNameIn(netDir, FilterNotDots, "GetNETPortName");
}

char* IsUSBDeviceTTYport(const char* usbIfPath, bool quiet) {
  char* name = nullptr;
  int n = WalkDirDescending(usbIfPath, FilterTTYDir, [&](const char* entry) {
    char path[271];
    snprintf(path, sizeof path, "%s/%s", usbIfPath, entry);
    if (name == nullptr) name = GetTTYPortName(path);
    LogMessage(7, "TTY controller devname: %s\n", name != nullptr ? name : "(null)");
    return true;
  });
  if (n < 0 && !quiet) {
    int e = errno;
    LogMessage(3, "%s: scandir error : %s (%d)\n", "IsUSBDeviceTTYport", strerror(e), e);
  }
  return name;
}

bool IsUSBDeviceEthernetPort(const char* devicePath, const char* suffix, bool quiet, char** name) {
  size_t len = strlen(devicePath) + strlen(suffix) + 1;
  char* ifPath = static_cast<char*>(malloc(len));
  if (ifPath == nullptr) return false;
  snprintf(ifPath, len, "%s%s", devicePath, suffix);
  char* found = nullptr;
  int n = WalkDirDescending(ifPath, FilterNETDir, [&](const char* entry) {
    char path[271];
    snprintf(path, sizeof path, "%s/%s", ifPath, entry);
    if (found == nullptr) found = GetNETPortName(path);
    return true;
  });
  if (n < 0 && !quiet) {
    int e = errno;
    LogMessage(3, "%s: scandir error : %s (%d)\n", "IsUSBDeviceEthernetPort", strerror(e), e);
  }
  free(ifPath);
  if (name != nullptr) {
    *name = found;
  } else {
    free(found);
  }
  return n >= 0;
}

char* UpdateTTYPortName(E1Controller* c, int* lastError) {
  bool mayReport = lastError != nullptr && *lastError != errno;
  char* name = IsUSBDeviceTTYport(c->usbIfPath, !mayReport);
  if (lastError != nullptr) *lastError = errno;
  if (name == nullptr) return nullptr;
  free(c->ttyName);
  c->ttyName = name;
  return c->ttyName;
}

char* UpdateTTYPortNameLocked(E1Controller* c, int* lastError) {
  pthread_mutex_lock(&c->lock);
  char* name = UpdateTTYPortName(c, lastError);
  pthread_mutex_unlock(&c->lock);
  return name;
}
