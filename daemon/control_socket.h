// The control sockets, one per controller (kCtlPrefix + its control
// interface), served by one control thread for all controllers: "status"
// answers the status document (daemon/status_json.h), "monitor [PORT]"
// streams the controller's traffic from its tap (core/traffic_tap.h),
// "log-level [N]" reads or sets the log level. The thread never takes a
// lock that the serial or port threads hold while they wait, and writes to
// its clients without waiting: a client that reads slowly holds up only
// itself.
#ifndef E1CTLD_DAEMON_CONTROL_SOCKET_H_
#define E1CTLD_DAEMON_CONTROL_SOCKET_H_

#include <string>

#include "core/controller.h"

// Clients served at once per controller; one more is told "error busy".
constexpr int kMaxControlClients = 8;
// A client that has not sent its request line, or not taken its answer,
// this long after it connected is closed, so that silent clients cannot
// keep the places of the others.
constexpr int kControlClientTimeoutMs = 5000;
// The longest request line, its line feed included.
constexpr size_t kMaxControlRequest = 256;

// The control socket's path for the controller `ctlIf`.
std::string ControlSocketPath(const char* ctlIf);

struct ControlState;

// Opens every controller's tap and makes its control socket (a first
// socket that cannot be made ends the process as a port's does; see
// CreateListenSocket). Main thread, at start-up, after the socket
// directory is made; the registry no longer changes.
ControlState* OpenControlSockets(E1Controller* const* cs, int count);

// Starts the control thread over them. Call once the port slots are set up
// (StartPorts): the thread reads their fields for the status document. A
// thread that cannot start is logged; the daemon serves its ports without it.
void StartControlThread(ControlState* st);

// The answer to one request line (without its line feed) that is not a
// monitor: the status document with its line end, "level N\n", "ok OLD
// NEW\n" (the level set), or "error unknown request\n". For monitor
// requests it is "ok\n" and *monitorPort is set to the port asked for (-1:
// all), else left as it is. Control thread (and unit tests).
std::string AnswerControlRequest(E1Controller* c, const std::string& line, bool* monitor,
                                 int* monitorPort);

// One tap entry as a monitor line: "<usec> <ctlIf> <port> <dir> <outcome>
// <text>\n", the text escaped as the log escapes client bytes.
std::string FormatMonitorLine(const char* ctlIf, const TapEntry& e);

#endif  // E1CTLD_DAEMON_CONTROL_SOCKET_H_
