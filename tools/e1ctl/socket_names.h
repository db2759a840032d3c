// The daemon's run-time file names as e1ctl reads them: port socket paths
// built from and split into controller and port, and lock file names.
// Pure: nothing here touches the file system.
#ifndef E1CTLD_TOOLS_E1CTL_SOCKET_NAMES_H_
#define E1CTLD_TOOLS_E1CTL_SOCKET_NAMES_H_

#include <string>
#include <vector>

namespace e1ctl {

struct SocketEntry {
  std::string ctlIf;
  int port = 0;
  std::string path;
};

// The socket directory and the name before the port number
// ("/var/run/E1controllers" and "G703G704_phy").
std::string SocketDir();
std::string SocketBase();

// The socket path of E1 port `port` of the controller `ctlIf`, uncut.
std::string SocketPath(const std::string& ctlIf, int port);

// Splits a socket file name "G703G704_phy<port>_at_ttyctrl_<ctlif>" (1 to
// 3 port digits, a non-empty controller name) into `e`, with its path in
// the socket directory; false, `e` partly filled, for any other name.
bool ParseSocketName(const std::string& name, SocketEntry* e);

// Orders entries by controller name, then port.
void SortSocketEntries(std::vector<SocketEntry>* entries);

// The paths of the sockets of port `port` whose controller name begins
// with `ctlIfPrefix`, in the order of `entries`.
std::vector<std::string> SocketsWithPrefix(const std::vector<SocketEntry>& entries,
                                           const std::string& ctlIfPrefix, int port);

// The lock file of a controller, the lock directory, and the file name
// before the controller name ("/var/run" and "KESTRD_LOCK_").
std::string LockPath(const std::string& ctlIf);
std::string LockDir();
std::string LockBase();

// The controller of a lock file name in the lock directory; false when the
// name is no lock file's (or names no controller).
bool ParseLockName(const std::string& name, std::string* ctlIf);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_SOCKET_NAMES_H_
