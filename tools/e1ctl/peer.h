// The daemon at the other end of a port connection: its process id, taken
// when the connection is made, and whether it has ended since. A port whose
// connection ends while its daemon lives was closed by the daemon (the
// controller's end-of-file reply); one whose daemon has ended was lost.
#ifndef E1CTLD_TOOLS_E1CTL_PEER_H_
#define E1CTLD_TOOLS_E1CTL_PEER_H_

#include <string>

namespace e1ctl {

// The process id of the process that listened on the socket of connection
// `fd` (SO_PEERCRED), or 0 when it is not known (e.g. not visible from this
// process's pid namespace).
int PeerPid(int fd);

// Whether the daemon `pid` (0: unknown) that served `socketPath` has ended
// or is ending: gone, a zombie, or exiting (/proc/<pid>/stat). With an
// unknown pid, whether no daemon holds the controller's lock any more.
bool DaemonEnded(int pid, const std::string& socketPath);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_PEER_H_
