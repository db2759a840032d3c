// e1ctl metrics: the status documents of every daemon on the host (one per
// controller, as the control socket's "status" request answers) as one
// Prometheus text exposition, for node exporter's textfile collector.
#ifndef E1CTLD_TOOLS_E1CTL_METRICS_H_
#define E1CTLD_TOOLS_E1CTL_METRICS_H_

#include <string>
#include <vector>

namespace e1ctl {

// One family per counter (e1ctld_..._total) and per gauge (states as 0/1
// per state, levels, times in seconds since the epoch), an info metric
// e1ctld_build_info{version=...}; every sample has the label `controller`,
// per-port ones `port`, per-pair ones `pair`. All samples of one family
// are together, across controllers, in the order of the documents.
//
// A document that cannot be read, or that names a controller an earlier
// one already named, is left out; then `*error` says which and why, one
// line each ("document 2: uart.losses: not an integer"), else it is empty.
// Returns "" when no document was read.
std::string FormatMetrics(const std::vector<std::string>& statusDocuments, std::string* error);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_METRICS_H_
