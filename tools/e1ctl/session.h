// One connection: each block goes out in one write, the next only once the
// daemon has read it (empty send queue), so the daemon never merges or splits
// blocks; replies go to standard output as they come. Errors end the program.
#ifndef E1CTLD_TOOLS_E1CTL_SESSION_H_
#define E1CTLD_TOOLS_E1CTL_SESSION_H_

#include <deque>
#include <string>
#include <vector>

#include "tools/e1ctl/args.h"

namespace e1ctl {

// A notice for each command whose line the daemon cuts before its line end.
void WarnLongCommands(const std::vector<std::string>& cmds);

// The daemon keeps the commands of its last read as the port's block and
// resends them after the controller came back: a block that reached it in
// two reads would be replayed only in part.
//
// Sends `blocks`, then (with o.fromStdin) each line of standard input as
// blocks, and prints the replies until one of the ends of `o`. Returns the
// exit status (kOk, kTimeout); a connection or output error ends the
// program with kFailure. `path` names the socket in messages.
int Session(int fd, const Options& o, std::deque<std::string> blocks, const std::string& path);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_SESSION_H_
