// The status documents of every daemon on the host, for e1ctl metrics: one
// per controller, asked for on each daemon's control socket.
#ifndef E1CTLD_TOOLS_E1CTL_METRICS_COLLECT_H_
#define E1CTLD_TOOLS_E1CTL_METRICS_COLLECT_H_

#include <string>
#include <vector>

namespace e1ctl {

// Asks each control socket of the socket directory (in name order) for its
// status (RequestControl). A socket that refuses, or gives nothing in time,
// adds nothing; answers are returned as read (FormatMetrics tells a status
// document from anything else).
std::vector<std::string> CollectStatusDocuments();

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_METRICS_COLLECT_H_
