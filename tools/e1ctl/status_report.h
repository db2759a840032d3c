// What "e1ctl status" shows, decided from facts that status.cc gathers:
// which controllers, how many ports, each port socket's state in words,
// and the listening sockets named by /proc/net/unix. Pure.
#ifndef E1CTLD_TOOLS_E1CTL_STATUS_REPORT_H_
#define E1CTLD_TOOLS_E1CTL_STATUS_REPORT_H_

#include <string>
#include <vector>

#include "tools/e1ctl/lock_state.h"
#include "tools/e1ctl/socket_names.h"

namespace e1ctl {

// One line of /proc/net/unix: true, the path in `path`, for a socket that
// listens (flag __SO_ACCEPTCON) and has a path; false otherwise.
bool ParseListeningSocketLine(const char* line, std::string* path);

// The controllers to show: with no names, all `known` ones; else for each
// name in turn the known ones that begin with it, or the name itself when
// none does (it is shown as absent).
std::vector<std::string> ControllersToShow(const std::vector<std::string>& named,
                                           const std::vector<std::string>& known);

// The ports to show of `ctlIf`: those of its model (`modelPorts`, 0 when
// unknown), more when a socket of a higher port is present.
int PortsToShow(int modelPorts, const std::vector<SocketEntry>& sockets, const std::string& ctlIf);

// What is known of one port socket.
struct PortFacts {
  bool present = false;       // something is at the path
  bool accessDenied = false;  // not present because its directory refuses us
  bool listening = false;     // /proc/net/unix lists it as listening
};

// The port's state: served, busy (the controller's daemon has a client on
// it), stale (no daemon holds the controller), missing, not accessible, or
// busy or stale when the lock is unknown.
const char* PortStateText(const PortFacts& port, LockInfo::Kind lock);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_STATUS_REPORT_H_
