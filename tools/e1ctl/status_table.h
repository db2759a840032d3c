// What "e1ctl status" makes of a daemon's status document: the table for
// people and the health that the exit status tells. Pure.
#ifndef E1CTLD_TOOLS_E1CTL_STATUS_TABLE_H_
#define E1CTLD_TOOLS_E1CTL_STATUS_TABLE_H_

#include <string>

#include "tools/e1ctl/json_reader.h"

namespace e1ctl {

// The controller's lines: name, daemon pid, UART state and tty, then one
// line per port (client yes/no, commands, replies, replies dropped).
std::string StatusTable(const JsonValue& doc);

// How one controller stands, worst last: the exit status of a run is the
// highest of its controllers'.
enum class Health { kServed, kUartDown, kNoDaemon, kUnknown };

// A document's health: served when its UART is open, else down.
Health DocumentHealth(const JsonValue& doc);

// The exit status for a health (see exit_status.h).
int HealthExitStatus(Health h);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_STATUS_TABLE_H_
