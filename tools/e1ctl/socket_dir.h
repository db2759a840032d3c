// The port sockets present in the socket directory, and the one a controller
// name picks; an unreadable directory holds none, a name that picks several
// ends the program with a usage error.
#ifndef E1CTLD_TOOLS_E1CTL_SOCKET_DIR_H_
#define E1CTLD_TOOLS_E1CTL_SOCKET_DIR_H_

#include <string>
#include <vector>

#include "tools/e1ctl/socket_names.h"

namespace e1ctl {

// Whether anything (a dangling link too) is at `path`.
bool PathExists(const std::string& path);

// Who may use `path`, which this user may not: "root and the members of
// group 'e1ctld'" (the group of the socket, else of its directory), or
// "root".
std::string PermissionHint(const std::string& path);

// The port sockets in the socket directory, by controller and port; none
// when the directory cannot be read (then its error number in `*error`,
// else 0 there, when `error` is given).
std::vector<SocketEntry> ListSockets(int* error = nullptr);

// The socket of a port from the controller name: the exact name when that
// socket exists, else the one socket of that port whose controller name
// begins with `ctlIf`; the exact name when none does. Several: ends the
// program with a usage error that lists them.
std::string ResolveSocket(const std::string& ctlIf, int port);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_SOCKET_DIR_H_
