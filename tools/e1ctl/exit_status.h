// e1ctl's exit statuses: one for each way a run can end, as its help text
// and manual page list them.
#ifndef E1CTLD_TOOLS_E1CTL_EXIT_STATUS_H_
#define E1CTLD_TOOLS_E1CTL_EXIT_STATUS_H_

namespace e1ctl {

enum ExitStatus {
  kOk = 0,        // end-of-file reply, line count reached, or replies then idle
  kFailure = 1,   // connection or input/output error
  kUsage = 2,     // bad command line
  kNoSocket = 3,  // no socket file at the path
  kBusy = 4,      // refused while the socket file exists: another client holds the port
  kTimeout = 5,   // no (or not enough) replies within the idle timeout, a connection
                  // or commands not taken within their bounds
  kStale = 6,     // the socket file exists but no daemon holds the controller's lock
  kLost = 7,      // the daemon ended while connected, before any end-of-file reply
  // status: the health of the controllers, the worst of them.
  kUartDown = 8,            // served by a daemon whose UART is lost or was never opened
  kNoDaemon = 9,            // known (plugged in, lock file or sockets), no daemon answers
  kUnknownController = 10,  // not plugged in, no lock file, no socket
};

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_EXIT_STATUS_H_
