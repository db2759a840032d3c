#include "tools/e1ctl/status_report.h"

#include <stdio.h>

namespace e1ctl {

bool ParseListeningSocketLine(const char* line, std::string* path) {
  unsigned long flags = 0;
  char text[256] = "";
  if (sscanf(line, "%*s %*s %*s %lx %*s %*s %*s %255s", &flags, text) == 2 &&
      (flags & 0x10000) != 0) {
    *path = text;
    return true;
  }
  return false;
}

std::vector<std::string> ControllersToShow(const std::vector<std::string>& named,
                                           const std::vector<std::string>& known) {
  if (named.empty()) return known;
  std::vector<std::string> shown;
  for (const std::string& n : named) {
    size_t before = shown.size();
    for (const std::string& k : known) {
      if (k.compare(0, n.size(), n) == 0) shown.push_back(k);
    }
    if (shown.size() == before) shown.push_back(n);  // shown as absent
  }
  return shown;
}

int PortsToShow(int modelPorts, const std::vector<SocketEntry>& sockets, const std::string& ctlIf) {
  int ports = modelPorts;
  for (const SocketEntry& e : sockets) {
    if (e.ctlIf == ctlIf && e.port + 1 > ports) ports = e.port + 1;
  }
  return ports;
}

const char* PortStateText(const PortFacts& port, LockInfo::Kind lock) {
  if (!port.present) return port.accessDenied ? "not accessible (permission denied)" : "missing";
  if (port.listening) return "served";
  if (lock == LockInfo::kHeld) return "busy";
  if (lock == LockInfo::kNone) return "stale";
  return "busy or stale (lock unknown)";
}

}  // namespace e1ctl
