#include "discovery/eth_function.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

namespace {

struct HubPorts {
  std::string hub;
  unsigned pairPorts;  // bit k: a known model on this hub has a pair at port k
};

// "<hub>.<port>" with no further '.' or ':' (a device, not an interface).
bool SplitDevice(const char* name, std::string* hub, int* port) {
  const char* dot = strrchr(name, '.');
  if (name[0] == '.' || dot == nullptr || strchr(name, ':') != nullptr) return false;
  hub->assign(name, static_cast<size_t>(dot - name));
  *port = atoi(dot + 1);
  return true;
}

// The pair ports of the known models among the devices on `hub`.
unsigned PairPortsOnHub(const char* root, const std::vector<std::string>& devices,
                        const std::string& hub) {
  unsigned ports = 0;
  std::string h;
  int k = 0;
  for (const std::string& dev : devices) {
    if (!SplitDevice(dev.c_str(), &h, &k) || h != hub) continue;
    char path[512];
    snprintf(path, sizeof path, "%s/%s", root, dev.c_str());
    uint32_t vid = 0, pid = 0;
    ReadUSBIds(path, &vid, &pid);
    int pairPorts[3] = {-1, -1, -1};
    int pairs = LookupKnownController(vid, pid, pairPorts, nullptr, nullptr);
    for (int i = 0; i < pairs && i < 3; ++i) {
      if (pairPorts[i] >= 0 && pairPorts[i] < 32) ports |= 1u << pairPorts[i];
    }
  }
  return ports;
}

void Build(KnownEthFunctions* m) {
  m->built = true;
  m->names.clear();
  const char* root = DevicesRoot();
  DIR* d = opendir(root);
  if (d == nullptr) return;
  std::vector<std::string> devices;
  for (struct dirent* e = readdir(d); e != nullptr; e = readdir(d)) devices.emplace_back(e->d_name);
  closedir(d);
  std::vector<HubPorts> hubs;  // each hub's models are read once
  std::string hub;
  int port = 0;
  for (const std::string& dev : devices) {
    if (!SplitDevice(dev.c_str(), &hub, &port)) continue;
    char path[512];
    snprintf(path, sizeof path, "%s/%s:1.0/net", root, dev.c_str());
    DIR* net = opendir(path);
    if (net == nullptr) continue;
    const HubPorts* known = nullptr;
    for (const HubPorts& h : hubs) {
      if (h.hub == hub) known = &h;
    }
    if (known == nullptr) {
      hubs.push_back({hub, PairPortsOnHub(root, devices, hub)});
      known = &hubs.back();
    }
    bool pairPort = port >= 0 && port < 32 && (known->pairPorts & (1u << port)) != 0;
    for (struct dirent* e = readdir(net); e != nullptr && pairPort; e = readdir(net)) {
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
        m->names.emplace_back(e->d_name);
      }
    }
    closedir(net);
  }
}

}  // namespace

void ForgetKnownEthFunctions(KnownEthFunctions* m) {
  m->built = false;
}

bool IsKnownControllerEthernet(KnownEthFunctions* m, const char* ifName) {
  if (ifName == nullptr || *ifName == '\0' || strchr(ifName, '/') != nullptr) return false;
  if (!m->built) Build(m);
  for (const std::string& n : m->names) {
    if (n == ifName) return true;
  }
  return false;
}
