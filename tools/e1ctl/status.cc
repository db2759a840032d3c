#include "tools/e1ctl/status.h"

#include <dirent.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>

#include "discovery/known_controllers.h"
#include "tools/e1ctl/exit_status.h"
#include "tools/e1ctl/lock_probe.h"
#include "tools/e1ctl/report.h"
#include "tools/e1ctl/socket_dir.h"
#include "tools/e1ctl/socket_names.h"
#include "tools/e1ctl/status_report.h"

namespace e1ctl {

namespace {

const char kUsbDevices[] = "/sys/bus/usb/devices/";

// Paths of the UNIX sockets that listen, from /proc/net/unix; false when
// it cannot be read.
bool ListeningSockets(std::vector<std::string>* out) {
  FILE* f = fopen("/proc/net/unix", "re");
  if (f == nullptr) return false;
  char line[512];
  std::string path;
  while (fgets(line, sizeof line, f) != nullptr) {
    if (ParseListeningSocketLine(line, &path)) out->push_back(path);
  }
  fclose(f);
  return true;
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (struct dirent* de = readdir(d)) {
    if (de->d_name[0] != '.') out.push_back(de->d_name);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

// E1 ports of the controller whose control interface this is, from its USB
// ids in sysfs; 0 when it is not there or not a known model.
int KnownPorts(const std::string& ctlIf) {
  uint32_t vid = 0, pid = 0;
  std::string dev = kUsbDevices + ctlIf.substr(0, ctlIf.find(':'));
  ReadUSBIds(dev.c_str(), &vid, &pid);
  int ports = 0;
  LookupKnownController(vid, pid, nullptr, nullptr, &ports);
  return ports;
}

// Control interfaces of the known controllers plugged in (bound to cdc_acm,
// holding a tty), with a lock file, or with a port socket.
std::vector<std::string> KnownControllers() {
  std::vector<std::string> out;
  for (const std::string& e : DirEntries("/sys/bus/usb/drivers/cdc_acm")) {
    if (e.find(':') != std::string::npos && KnownPorts(e) > 0 &&
        !DirEntries(kUsbDevices + e + "/tty").empty()) {
      out.push_back(e);
    }
  }
  std::string ctlIf;
  for (const std::string& e : DirEntries(LockDir())) {
    if (ParseLockName(e, &ctlIf)) out.push_back(ctlIf);
  }
  for (const SocketEntry& e : ListSockets()) out.push_back(e.ctlIf);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace

int Status(const std::vector<std::string>& named) {
  std::vector<std::string> shown = ControllersToShow(named, KnownControllers());
  if (shown.empty()) {
    Notice("no controller known: none plugged in, no lock file in %s, no socket in %s\n",
           LockDir().c_str(), SocketDir().c_str());
    return kNoSocket;
  }
  std::vector<std::string> listening;
  bool haveListening = ListeningSockets(&listening);
  std::vector<SocketEntry> sockets = ListSockets();
  for (const std::string& ctlIf : shown) {
    LockInfo lock = ReadLock(ctlIf);
    std::vector<std::string> ttys = DirEntries(kUsbDevices + ctlIf + "/tty");
    int ports = PortsToShow(KnownPorts(ctlIf), sockets, ctlIf);
    std::string holder = lock.kind == LockInfo::kHeld && lock.pid > 0 ? ProcessName(lock.pid) : "";
    printf("%s\n", ctlIf.c_str());
    printf("  lock:   %s\n", DescribeLock(lock, holder).c_str());
    printf("  tty:    %s\n", ttys.empty() ? "none (not plugged in)" : ttys[0].c_str());
    for (int port = 0; port < ports; ++port) {
      std::string path = SocketPath(ctlIf, port);
      PortFacts facts;
      struct stat st;
      facts.present = lstat(path.c_str(), &st) == 0;
      facts.accessDenied = !facts.present && errno == EACCES;
      facts.listening = facts.present && haveListening &&
                        std::find(listening.begin(), listening.end(), path) != listening.end();
      printf("  port %d: %s %s\n", port, PortStateText(facts, lock.kind), path.c_str());
    }
  }
  fflush(stdout);
  return kOk;
}

}  // namespace e1ctl
