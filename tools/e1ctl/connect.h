// Connecting to a port socket. Connect either returns a connected
// descriptor or ends the program with the exit status that says why it
// could not (no socket, busy, stale, permission, other failure).
#ifndef E1CTLD_TOOLS_E1CTL_CONNECT_H_
#define E1CTLD_TOOLS_E1CTL_CONNECT_H_

#include <string>

namespace e1ctl {

// Connects, retrying for `wait` seconds while the port is busy or its
// socket missing.
int Connect(const std::string& path, double wait);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_CONNECT_H_
