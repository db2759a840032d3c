#include "tools/e1ctl/status.h"

#include <dirent.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>

#include "discovery/known_controllers.h"
#include "tools/e1ctl/control_client.h"
#include "tools/e1ctl/exit_status.h"
#include "tools/e1ctl/json_reader.h"
#include "tools/e1ctl/lock_probe.h"
#include "tools/e1ctl/report.h"
#include "tools/e1ctl/socket_dir.h"
#include "tools/e1ctl/socket_names.h"
#include "tools/e1ctl/status_report.h"
#include "tools/e1ctl/status_table.h"

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

// What the file system shows of a controller that no daemon answers for.
void PrintFileSystemReport(const std::string& ctlIf, const std::vector<SocketEntry>& sockets,
                           const std::vector<std::string>& listening, bool haveListening) {
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

// The daemon's document for `ctlIf`, when its control socket answers.
bool AskStatus(const std::string& ctlIf, JsonValue* doc, std::string* raw) {
  std::string error;
  if (!RequestControl(ctlIf, "status", raw, &error)) return false;
  while (!raw->empty() && raw->back() == '\n') raw->pop_back();
  std::string parseError;
  if (!ReadJson(*raw, doc, &parseError) || doc->kind != JsonValue::kObject) {
    Notice("%s: the daemon's answer is not a status document: %s\n", ctlIf.c_str(),
           parseError.c_str());
    return false;
  }
  return true;
}

}  // namespace

int Status(const std::vector<std::string>& named, bool json) {
  std::vector<std::string> known = KnownControllers();
  for (const std::string& e : ListControlSockets()) known.push_back(e);
  std::sort(known.begin(), known.end());
  known.erase(std::unique(known.begin(), known.end()), known.end());
  std::vector<std::string> shown = ControllersToShow(named, known);
  if (shown.empty()) {
    Notice("no controller known: none plugged in, no lock file in %s, no socket in %s\n",
           LockDir().c_str(), SocketDir().c_str());
    return kNoSocket;
  }
  std::vector<std::string> listening;
  bool haveListening = ListeningSockets(&listening);
  std::vector<SocketEntry> sockets = ListSockets();
  Health worst = Health::kServed;
  std::string array;
  for (const std::string& ctlIf : shown) {
    JsonValue doc;
    std::string raw;
    Health h = Health::kServed;
    if (AskStatus(ctlIf, &doc, &raw)) {
      h = DocumentHealth(doc);
      if (json) {
        array += (array.empty() ? "" : ",") + raw;
      } else {
        fputs(StatusTable(doc).c_str(), stdout);
      }
    } else {
      bool isKnown = std::find(known.begin(), known.end(), ctlIf) != known.end();
      h = isKnown ? Health::kNoDaemon : Health::kUnknown;
      if (json) {
        Notice("%s: %s\n", ctlIf.c_str(),
               isKnown ? "no daemon answers on its control socket" : "unknown controller");
      } else {
        PrintFileSystemReport(ctlIf, sockets, listening, haveListening);
      }
    }
    if (h > worst) worst = h;
  }
  if (json) printf("[%s]\n", array.c_str());
  fflush(stdout);
  return HealthExitStatus(worst);
}

}  // namespace e1ctl
