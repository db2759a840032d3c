// Facts about processes and paths in words or yes/no, from the text and
// numbers that peer.cc and connect.cc read. Pure.
#ifndef E1CTLD_TOOLS_E1CTL_PROCESS_STATE_H_
#define E1CTLD_TOOLS_E1CTL_PROCESS_STATE_H_

#include <sys/types.h>

#include <string>

namespace e1ctl {

// One /proc/<pid>/stat line: true when it shows a process that has ended
// or is ending: a zombie or dead task ("Z", "X", "x"), or one whose flags
// carry PF_EXITING, which the kernel sets before it closes the process's
// descriptors. False for a live process and for text of any other form.
bool StatShowsEnding(const std::string& statLine);

// What a file of mode `mode` is, for "... is not a socket: it is <text>":
// "a directory", "a regular file", ...
const char* FileKindText(mode_t mode);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_PROCESS_STATE_H_
