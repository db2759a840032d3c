// "e1ctl status": the lock holder, tty and port socket states of each known or
// named controller, on standard output; kNoSocket when there is none to show.
#ifndef E1CTLD_TOOLS_E1CTL_STATUS_H_
#define E1CTLD_TOOLS_E1CTL_STATUS_H_

#include <string>
#include <vector>

namespace e1ctl {

// Prints the report; returns kOk, or kNoSocket (after a notice) when no
// controller is known and none was named.
int Status(const std::vector<std::string>& named);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_STATUS_H_
