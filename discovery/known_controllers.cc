#include "discovery/known_controllers.h"

#include <stdio.h>

const KnownControllerEntry kKnownControllers[] = {
    {0xC251, 0x0004, 1, {1, -1, -1}, {4, 2}, 1},  {0xC251, 0x0003, 1, {1, -1, -1}, {4, 2}, 1},
    {0xC251, 0x0005, 2, {1, 4, -1}, {-1, -1}, 2}, {0xC251, 0xFFFC, 1, {1, -1, -1}, {4, 2}, 1},
    {0xC251, 0xFFFD, 1, {1, -1, -1}, {4, 2}, 1},  {0xC251, 0xFFFB, 2, {1, 4, -1}, {-1, -1}, 2},
};
const int kKnownControllerCount = sizeof kKnownControllers / sizeof kKnownControllers[0];

static uint32_t ReadHexFile(const char* devicePath, const char* file) {
  char path[512];
  snprintf(path, sizeof path, "%s/%s", devicePath, file);
  FILE* f = fopen(path, "r");
  if (f == nullptr) return 0;
  unsigned int value = 0;
  if (fscanf(f, "%X", &value) != 1) value = 0;
  fclose(f);
  return value;
}

int ReadUSBIds(const char* devicePath, uint32_t* vid, uint32_t* pid) {
  uint32_t v = ReadHexFile(devicePath, "idVendor");
  uint32_t p = ReadHexFile(devicePath, "idProduct");
  if (vid != nullptr) *vid = v;
  if (pid != nullptr) *pid = p;
  return 0;
}

int LookupKnownController(uint32_t vid, uint32_t pid, int* pairPorts, int* hubEthPorts,
                          int* e1Ports) {
  for (int r = 0; r < kKnownControllerCount; ++r) {
    const KnownControllerEntry& e = kKnownControllers[r];
    if (static_cast<uint32_t>(e.vid) != vid || static_cast<uint32_t>(e.pid) != pid) continue;
    if (pairPorts != nullptr) {
      for (int i = 0; i < 3; ++i) pairPorts[i] = e.pairPorts[i];
    }
    if (hubEthPorts != nullptr) {
      for (int i = 0; i < 2; ++i) hubEthPorts[i] = e.hubEthPorts[i];
    }
    if (e1Ports != nullptr) *e1Ports = e.e1Ports;
    return e.ethPairs;
  }
  return 0;
}
