// The status documents of every daemon on the host, for e1ctl metrics: one
// per controller, asked for on each daemon's control socket.
#ifndef E1CTLD_TOOLS_E1CTL_METRICS_COLLECT_H_
#define E1CTLD_TOOLS_E1CTL_METRICS_COLLECT_H_

#include <string>
#include <vector>

namespace e1ctl {

// Connects to each control socket "G703G704_CTL_<ctlIf>" of the socket
// directory (in name order), sends "status\n" and reads the answer to the
// end of the connection. A socket that refuses, or gives nothing within
// two seconds, adds nothing; answers are returned as read (FormatMetrics
// tells a status document from anything else).
std::vector<std::string> CollectStatusDocuments();

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_METRICS_COLLECT_H_
