// The daemon's control socket as e1ctl uses it: one request line, and the
// answer read to the connection's end, or a monitor's lines as they come.
#ifndef E1CTLD_TOOLS_E1CTL_CONTROL_CLIENT_H_
#define E1CTLD_TOOLS_E1CTL_CONTROL_CLIENT_H_

#include <functional>
#include <string>
#include <vector>

namespace e1ctl {

// The control socket of controller `ctlIf`.
std::string ControlPath(const std::string& ctlIf);

// The controllers whose control socket file is in the socket directory.
std::vector<std::string> ListControlSockets();

// Sends `requestLine` (a line feed is added) and reads the answer until the
// daemon closes the connection (at most 5 s). False, with the reason in
// `error`, when no daemon answered (no socket, refused, timeout).
bool RequestControl(const std::string& ctlIf, const std::string& requestLine, std::string* reply,
                    std::string* error);

// Sends `requestLine` and hands each line of the answer (without its line
// feed) to `onLine` as it comes, until `onLine` returns false or the daemon
// closes the connection (true then), or the connection fails (false, the
// reason in `error`).
bool StreamControl(const std::string& ctlIf, const std::string& requestLine,
                   const std::function<bool(const std::string& line)>& onLine, std::string* error);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_CONTROL_CLIENT_H_
