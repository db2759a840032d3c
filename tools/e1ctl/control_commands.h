// "e1ctl monitor" and "e1ctl log-level": requests to the daemon's control
// socket of one controller.
#ifndef E1CTLD_TOOLS_E1CTL_CONTROL_COMMANDS_H_
#define E1CTLD_TOOLS_E1CTL_CONTROL_COMMANDS_H_

#include <string>

namespace e1ctl {

// Prints the controller's traffic, one line per event as the daemon sends
// it ("lost N" lines passed on), for port `port` (-1: all), until `lines`
// events were printed (-1: until the daemon ends). kOk, or kNoDaemon when
// no control socket answers, kUsage when `ctlIf` names none or several.
int Monitor(const std::string& ctlIf, int port, long lines);

// Prints the log level (level < 0) or sets it and prints "OLD -> NEW".
int LogLevel(const std::string& ctlIf, int level);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_CONTROL_COMMANDS_H_
