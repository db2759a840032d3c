// One connection's work: e1ctl sends each block in one write and waits
// until the daemon has read it (the socket's send queue is empty) before
// it writes the next, so the daemon never merges or splits blocks and
// keeps the last one as the port's block, which it resends after the
// controller came back. Meanwhile the replies go to standard output as
// they arrive.
#ifndef E1CTLD_TOOLS_E1CTL_SESSION_H_
#define E1CTLD_TOOLS_E1CTL_SESSION_H_

#include <deque>
#include <string>
#include <vector>

#include "tools/e1ctl/args.h"

namespace e1ctl {

// A notice for each command whose line the daemon cuts before its line end.
void WarnLongCommands(const std::vector<std::string>& cmds);

// Sends `blocks`, then (with o.fromStdin) each line of standard input as
// blocks, and prints the replies until one of the ends of `o`. Returns the
// exit status (kOk, kTimeout); a connection or output error ends the
// program with kFailure. `path` names the socket in messages.
int Session(int fd, const Options& o, std::deque<std::string> blocks, const std::string& path);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_SESSION_H_
