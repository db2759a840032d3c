// "e1ctl status": for each known or named controller, the daemon's account
// through its control socket (a table, or with `json` the documents as one
// JSON array), or where no daemon answers, the lock holder, tty and port
// socket states that the file system shows. The exit status tells the
// worst health: kOk, kUartDown, kNoDaemon, kUnknownController; kNoSocket
// when there is nothing to show.
#ifndef E1CTLD_TOOLS_E1CTL_STATUS_H_
#define E1CTLD_TOOLS_E1CTL_STATUS_H_

#include <string>
#include <vector>

namespace e1ctl {

// Prints the report and returns the exit status.
int Status(const std::vector<std::string>& named, bool json);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_STATUS_H_
