#include "discovery/analyze.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/controller.h"
#include "core/log.h"
#include "core/run_options.h"
#include "core/run_paths.h"
#include "discovery/eth_function.h"
#include "discovery/known_controllers.h"
#include "discovery/sysfs_names.h"

// asprintf into a fresh string; null when memory ran out.
static char* Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
static char* Format(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  char* s = nullptr;
  if (vasprintf(&s, format, ap) < 0) s = nullptr;
  va_end(ap);
  return s;
}

char* CutAtLast(const char* path, char sep, bool* noSep) {
  char* copy = strdup(path);
  *noSep = false;
  if (copy == nullptr) return nullptr;
  char* at = strrchr(copy, sep);
  if (at == nullptr) {
    *noSep = true;
  } else {
    *at = '\0';
  }
  return copy;
}

static void SearchHubEthernet(E1Controller* tmpl, const char* hubWork, const int* candidates) {
  for (int k = 0; k < 2; ++k) {
    if (candidates[k] == -1) continue;
    char* path = Format("%s.%d", hubWork, candidates[k]);
    if (path == nullptr) continue;
    LogMessage(5, "Checking variant for ethernet non-controlable device at %s\n", path);
    bool exists = IsUSBDeviceEthernetPort(path, ":1.0", false, &tmpl->hubEthName);
    if (exists && tmpl->hubEthName != nullptr) {
      LogMessage(5, "Found non-controlable eth device '%s' on path '%s' .\n", tmpl->hubEthName,
                 path);
      tmpl->hubEthPath = path;
      tmpl->hubEthIndex = candidates[k];
      return;
    }
    if (exists) {
      LogMessage(4, "Desired non-controlable device at %s net controller without name. Skipping.\n",
                 tmpl->hubPath);
    } else {
      LogMessage(4, "Desired non-controlable device at %s is not ethernet controller. Skipping.\n",
                 tmpl->hubPath);
    }
    free(path);
  }
}

// A name of the temporary form is one that a swap left behind (a daemon
// that ended before it could put the interface back): never a name to keep.
static void ForgetTemporaryName(E1Controller* tmpl, int i) {
  if (!IsTemporaryEthName(tmpl->ethName[i])) return;
  LogMessage(5, "Ethernet pair #%d is under the temporary name '%s', not kept as its name.\n", i,
             tmpl->ethName[i]);
  free(tmpl->ethName[i]);
  tmpl->ethName[i] = nullptr;
}

// Fills pair `i` of the template; returns false when the controller must be
// dropped. *allocFailed is set when the pair's path could not be built.
static bool ProbePair(E1Controller* tmpl, int i, int port, bool* allocFailed) {
  tmpl->ethPath[i] = Format("%s.%d", tmpl->hubPath, port);
  if (tmpl->ethPath[i] == nullptr) {
    *allocFailed = true;
    return true;
  }
  LogMessage(5, "Checking for ethernet device at %s\n", tmpl->ethPath[i]);
  bool exists = IsUSBDeviceEthernetPort(tmpl->ethPath[i], ":1.0", false, &tmpl->ethName[i]);
  tmpl->ethWasUp[i] = 0;
  tmpl->ethLastStatus[i] = static_cast<uint32_t>(-1);
  if (!exists) {
    LogMessage(4, "Desired eth device at %s is not ethernet controller. Skipping.\n",
               tmpl->ethPath[i]);
    return false;
  }
  ForgetTemporaryName(tmpl, i);
  if (g_options.inNamespace && tmpl->ethName[i] == nullptr) {
    char* variant = Format("/proc/1/root%s", tmpl->ethPath[i]);
    if (variant != nullptr) {
      LogMessage(5, "Trying to find name in root namespace:\n");
      if (IsUSBDeviceEthernetPort(variant, ":1.0", false, &tmpl->ethName[i])) {
        ForgetTemporaryName(tmpl, i);
        if (tmpl->ethName[i] != nullptr) {
          LogMessage(5, "\tFound eth name '%s' in root namespace.\n", tmpl->ethName[i]);
          free(tmpl->ethPath[i]);
          tmpl->ethPath[i] = variant;
          variant = nullptr;
        }
      } else {
        LogMessage(5, "\tNot found.\n");
      }
      free(variant);
    }
  }
  LogMessage(5, "Found conjucted device %s on path %s\nAllocating E1 device...\n",
             tmpl->ethName[i] != nullptr ? tmpl->ethName[i] : "with missing name",
             tmpl->ethPath[i]);
  return true;
}

static bool CopyPair(const E1Controller* tmpl, E1Controller* e, int i) {
  e->ethWasUp[i] = tmpl->ethWasUp[i];
  e->ethLastStatus[i] = tmpl->ethLastStatus[i];
  if (tmpl->ethName[i] != nullptr && (e->ethName[i] = strdup(tmpl->ethName[i])) == nullptr) {
    return false;
  }
  if (tmpl->ethPath[i] != nullptr && (e->ethPath[i] = strdup(tmpl->ethPath[i])) == nullptr) {
    return false;
  }
  return true;
}

// True when a counted registry record already drives this interface entry.
static bool IsRegistered(const char* entryName) {
  int count = 0;
  E1Controller* const* cs = GetControllers(&count);
  for (int i = 0; i < count; ++i) {
    if (cs[i]->usbIfName != nullptr && strcmp(cs[i]->usbIfName, entryName) == 0) return true;
  }
  return false;
}

int AnalyzeE1Controller(const char* entryName) {
  // Two arguments may match the same entry (1-1.3 and 1-1). Locks never
  // conflict within one process, so a second record would drive the same
  // UART and port sockets again: the entry is added once.
  if (IsRegistered(entryName)) {
    LogMessage(5, "%s: controller already registered, not added again\n", entryName);
    return 0;
  }
  LogMessage(5, "Analyzing %s for E1 control capability...\n", entryName);
  char* root = strdup(DevicesRoot());
  if (root == nullptr) return 0;
  E1Controller tmpl;
  InitControllerRecord(&tmpl);
  tmpl.usbIfName = strdup(entryName);
  if (tmpl.usbIfName == nullptr) {
    free(root);
    return 0;
  }

  int result = 0;
  char* devPath = nullptr;
  char* chipPath = nullptr;
  char* hubWork = nullptr;
  int pairPorts[3] = {-1, -1, -1};
  int hubEthPorts[2] = {-1, -1};
  int pairs = 0;
  bool noSep = false;
  bool allocFailed = false;
  E1Controller* element = nullptr;

  devPath = Format("%s/%s", root, entryName);
  if (devPath == nullptr) goto drop;
  LogMessage(7, "Devpath=%s\n", devPath);
  tmpl.usbIfPath = strdup(devPath);
  if (tmpl.usbIfPath == nullptr) goto drop;

  if (UpdateTTYPortName(&tmpl, nullptr) == nullptr) {
    // The data interface of a controller has no tty: not a fault of its own.
    LogMessageWithPriority(4, 6, "TTY control device has no name, device path '%s'!\n", devPath);
    goto drop;
  }

  chipPath = CutAtLast(devPath, ':', &noSep);
  if (chipPath == nullptr) goto drop;
  if (noSep) {
    LogMessage(4, "Invalid path for controller: %s\n", chipPath);
    goto drop;
  }
  LogMessage(7, "Controller chip path=%s\n", chipPath);

  ReadUSBIds(chipPath, &tmpl.vid, &tmpl.pid);
  LogMessage(7, "VID=%4.4X PID=%4.4X\n", tmpl.vid, tmpl.pid);

  tmpl.hubPath = CutAtLast(chipPath, '.', &noSep);
  if (tmpl.hubPath == nullptr) goto drop;
  if (noSep) {
    LogMessage(4, "Invalid path for controller hub: %s\n", tmpl.hubPath);
    goto drop;
  }
  LogMessage(7, "Controller hub path=%s\n", tmpl.hubPath);

  pairs = LookupKnownController(tmpl.vid, tmpl.pid, pairPorts, hubEthPorts, &tmpl.e1Ports);
  if (pairs == 0) {
    LogMessage(5, "No ethernets found by VID=%4.4X/PID=%4.4X, needs workaround!\n", tmpl.vid,
               tmpl.pid);
    goto drop;
  }

  hubWork = strdup(tmpl.hubPath);
  if (hubWork == nullptr) {
    LogMessage(3, "Memory Alloc error for separated eth name\n");
    goto drop;
  }
  tmpl.lockPath = Format("%s%s", kLockPrefix, entryName);
  tmpl.lockFd = -1;
  if (tmpl.lockPath == nullptr) goto drop;
  tmpl.auxPath = Format("%s%s", kAuxPrefix, entryName);
  tmpl.auxListenFd = -2;
  tmpl.auxClientFd = -1;
  if (tmpl.auxPath == nullptr) goto drop;

  SearchHubEthernet(&tmpl, hubWork, hubEthPorts);
  tmpl.ethPairs = pairs;

  for (int i = 0; i < pairs && i < kMaxEthPairs; ++i) {
    if (!ProbePair(&tmpl, i, pairPorts[i], &allocFailed)) goto drop;
    if (i == 0) {
      // Without a path for the first pair there is nothing to build the
      // element from: drop the controller rather than count an empty one.
      if (tmpl.ethPath[0] == nullptr) goto drop;
      element = PrepareControllerElement();
      if (element == nullptr || CopyControllerRecord(&tmpl, element) != 0) goto drop;
      if ((tmpl.hubEthName != nullptr &&
           (element->hubEthName = strdup(tmpl.hubEthName)) == nullptr) ||
          (tmpl.hubEthPath != nullptr &&
           (element->hubEthPath = strdup(tmpl.hubEthPath)) == nullptr)) {
        goto drop;
      }
      element->hubEthIndex = tmpl.hubEthIndex;
    }
    if (!CopyPair(&tmpl, element, i)) allocFailed = true;
  }

  CommitControllerElement();
  result = 1;
  if (allocFailed) LogMessage(3, "Memory Alloc error for ethdev names\n");

drop:
  free(hubWork);
  free(chipPath);
  free(devPath);
  free(root);
  FreeControllerRecord(&tmpl);
  return result;
}
