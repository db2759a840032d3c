#include "discovery/eth_function.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "discovery/known_controllers.h"
#include "discovery/sysfs_names.h"

static const char kTempPrefix[] = "e1tmp";

void FormatTemporaryEthName(char* buf, size_t size, unsigned ifIndex) {
  snprintf(buf, size, "%s%u", kTempPrefix, ifIndex);
}

bool IsTemporaryEthName(const char* name) {
  size_t n = sizeof kTempPrefix - 1;
  if (name == nullptr || strncmp(name, kTempPrefix, n) != 0 || name[n] == '\0') return false;
  for (const char* p = name + n; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return true;
}

// True when a device on hub `hub` (the entries "<hub>.<k>" of `root`) is a
// known model with a pair at hub port `port`.
static bool HubHasControllerPairAt(const char* root, const char* hub, int port) {
  DIR* d = opendir(root);
  if (d == nullptr) return false;
  size_t hubLen = strlen(hub);
  bool found = false;
  for (struct dirent* e = readdir(d); e != nullptr && !found; e = readdir(d)) {
    const char* name = e->d_name;
    if (strncmp(name, hub, hubLen) != 0 || name[hubLen] != '.' || strchr(name, ':') != nullptr ||
        strchr(name + hubLen + 1, '.') != nullptr) {
      continue;
    }
    char path[512];
    snprintf(path, sizeof path, "%s/%s", root, name);
    uint32_t vid = 0, pid = 0;
    ReadUSBIds(path, &vid, &pid);
    int pairPorts[3] = {-1, -1, -1};
    int pairs = LookupKnownController(vid, pid, pairPorts, nullptr, nullptr);
    for (int i = 0; i < pairs && i < 3; ++i) found = found || pairPorts[i] == port;
  }
  closedir(d);
  return found;
}

bool IsKnownControllerEthernet(const char* ifName) {
  if (ifName == nullptr || *ifName == '\0' || strchr(ifName, '/') != nullptr) return false;
  const char* root = DevicesRoot();
  DIR* d = opendir(root);
  if (d == nullptr) return false;
  bool found = false;
  for (struct dirent* e = readdir(d); e != nullptr && !found; e = readdir(d)) {
    // Devices only ("1-1.4"), not their interfaces ("1-1.4:1.0").
    const char* name = e->d_name;
    const char* dot = strrchr(name, '.');
    if (name[0] == '.' || strchr(name, ':') != nullptr || dot == nullptr) continue;
    char path[512];
    snprintf(path, sizeof path, "%s/%s:1.0/net/%s", root, name, ifName);
    struct stat st;
    if (stat(path, &st) != 0) continue;
    char hub[256];
    size_t hubLen = static_cast<size_t>(dot - name);
    if (hubLen >= sizeof hub) continue;
    memcpy(hub, name, hubLen);
    hub[hubLen] = '\0';
    found = HubHasControllerPairAt(root, hub, atoi(dot + 1));
  }
  closedir(d);
  return found;
}
