// Messages to the service manager through its notification socket
// ($NOTIFY_SOCKET, a datagram socket: a path or an abstract "@name"):
// readiness, status, stopping and watchdog keep-alives. Without
// $NOTIFY_SOCKET nothing is sent; a socket that cannot be used changes
// nothing else.
#ifndef E1CTLD_DAEMON_SERVICE_NOTIFY_H_
#define E1CTLD_DAEMON_SERVICE_NOTIFY_H_

#include <string>

#include "core/controller.h"

// Sends `message` as one datagram to `socketPath` ("/path" or "@abstract").
// Returns 0, or -1 with errno set (EINVAL for a path of neither form).
int SendServiceNotification(const char* socketPath, const char* message);

// The status text of one controller: "1-1.3:1.0: ttyACM1, 2 ports,
// 1 client" while its line is open, "1-1.3:1.0: UART lost (was ttyACM1),
// ..." while the serial thread waits for it to come back, "1-1.3:1.0:
// waiting for its tty (ttyACM0), ..." while it waits for a tty that was not
// there at start-up, and "1-1.3:1.0: UART not opened" for a controller
// without serial thread.
std::string ControllerStatusText(const char* ifName, bool serving, UartAccount line,
                                 const char* tty, int ports, int clients);

// The watchdog keep-alive interval in microseconds for the given
// $WATCHDOG_USEC and $WATCHDOG_PID values (either may be null) and this
// process id: half the period (at least 1, so that any positive period
// gets keep-alives), or 0 when no keep-alives are wanted (unset, not a
// positive number, or meant for another process).
long long WatchdogInterval(const char* usec, const char* pid, long ownPid);

// One turn of the main loop's duties towards the service manager: READY=1
// with STATUS= once every port socket of every controller with a serial
// thread listens (and every serial thread has given its
// account); STATUS= again whenever a line is lost or found, or a port's
// client connects or leaves; WATCHDOG=1 when
// due; STOPPING=1 once a termination signal is pending (call before acting
// on it). Reads the environment at its first call.
// Requires: main thread; no controller lock is taken.
void ServiceNotifyTurn(E1Controller* const* controllers, int count);

#endif  // E1CTLD_DAEMON_SERVICE_NOTIFY_H_
