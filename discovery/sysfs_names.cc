#include "discovery/sysfs_names.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "core/log.h"
#include "core/run_options.h"

const char* DriversRoot() {
  return g_options.inNamespace ? "/sys/bus/usb/drivers" : "/proc/1/root/sys/bus/usb/drivers";
}

const char* DevicesRoot() {
  return g_options.inNamespace ? "/sys/bus/usb/devices" : "/proc/1/root/sys/bus/usb/devices";
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
    // Seen when the controller went away (its interface directory is gone).
    LogMessageWithPriority(3, 5, "%s: scandir error : %s (%d)\n", "IsUSBDeviceTTYport", strerror(e),
                           e);
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
