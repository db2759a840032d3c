#include "tools/e1ctl/socket_names.h"

#include <stdlib.h>

#include <algorithm>

#include "core/run_paths.h"

namespace e1ctl {

std::string SocketDir() {
  return kSocketDir;
}

std::string SocketBase() {
  std::string p = kSocketPrefix;
  return p.substr(p.rfind('/') + 1);
}

std::string SocketPath(const std::string& ctlIf, int port) {
  std::string path(static_cast<size_t>(FormatPortSocketPath(nullptr, 0, port, ctlIf.c_str())),
                   '\0');
  FormatPortSocketPath(path.data(), path.size() + 1, port, ctlIf.c_str());
  return path;
}

bool ParseSocketName(const std::string& name, SocketEntry* e) {
  const std::string base = SocketBase();
  const std::string suffix = kSocketSuffix;
  if (name.compare(0, base.size(), base) != 0) return false;
  size_t pos = base.size();
  size_t digits = pos;
  while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
  if (digits == pos || digits - pos > 3) return false;
  if (name.compare(digits, suffix.size(), suffix) != 0) return false;
  e->port = atoi(name.substr(pos, digits - pos).c_str());
  e->ctlIf = name.substr(digits + suffix.size());
  e->path = SocketDir() + "/" + name;
  return !e->ctlIf.empty();
}

void SortSocketEntries(std::vector<SocketEntry>* entries) {
  std::sort(entries->begin(), entries->end(), [](const SocketEntry& a, const SocketEntry& b) {
    return a.ctlIf != b.ctlIf ? a.ctlIf < b.ctlIf : a.port < b.port;
  });
}

std::vector<std::string> SocketsWithPrefix(const std::vector<SocketEntry>& entries,
                                           const std::string& ctlIfPrefix, int port) {
  std::vector<std::string> found;
  for (const SocketEntry& e : entries) {
    if (e.port == port && e.ctlIf.compare(0, ctlIfPrefix.size(), ctlIfPrefix) == 0) {
      found.push_back(e.path);
    }
  }
  return found;
}

std::string LockPath(const std::string& ctlIf) {
  return std::string(kLockPrefix) + ctlIf;
}

std::string LockDir() {
  std::string p = kLockPrefix;
  return p.substr(0, p.rfind('/'));
}

std::string LockBase() {
  std::string p = kLockPrefix;
  return p.substr(p.rfind('/') + 1);
}

bool ParseLockName(const std::string& name, std::string* ctlIf) {
  const std::string base = LockBase();
  if (name.size() <= base.size() || name.compare(0, base.size(), base) != 0) return false;
  *ctlIf = name.substr(base.size());
  return true;
}

}  // namespace e1ctl
