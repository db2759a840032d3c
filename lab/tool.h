// Running a program of the project to its end, as an operator or a script
// would: e1ctl, the daemon in its table and information modes, or any
// command (setpriv in front of one of them). Standard output and error are
// captured apart, with the exit status and the time the run took.
#ifndef E1CTLD_LAB_TOOL_H_
#define E1CTLD_LAB_TOOL_H_

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "lab/process.h"

namespace lab {

struct ToolOptions {
  // The binary; empty: argv[0] looked up in PATH.
  std::string path;
  // What the program sees as its name; empty: argv[0].
  std::string argv0;
  // Standard input; none: /dev/null.
  std::optional<std::string> input;
  // Non-empty: standard output goes to this file (e.g. /dev/full) instead
  // of being captured.
  std::string stdoutPath;
  // Environment changes (see SpawnSpec::env).
  std::vector<std::string> env;
  // Sets JOURNAL_STREAM to the device and inode of the captured standard
  // output, as the service manager does for a journal stream.
  bool journalStream = false;
  // Non-empty: run in a nested mount namespace with this directory on /sys.
  std::string sysRoot;
  // The run is killed after this long (and reported as kTimeout).
  std::chrono::milliseconds timeout = std::chrono::seconds(20);
};

struct ToolRun {
  ExitStatus status;
  std::string out;
  std::string err;
  std::chrono::milliseconds took{0};
};

// Runs `argv` (argv[0] included) to its end.
ToolRun RunTool(const std::vector<std::string>& argv, const ToolOptions& opts = {});

// The project's programs that the lab runs, set once by the test binary's
// main(); "" when the build has none.
void SetE1ctlPath(const std::string& path);
const std::string& E1ctlPath();

// e1ctl with `args`, as "e1ctl".
ToolRun RunE1ctl(const std::vector<std::string>& args, const ToolOptions& opts = {});
// The command line that runs e1ctl with `args` (for running it under
// another program, such as setpriv).
std::vector<std::string> E1ctlCommand(const std::vector<std::string>& args);

// The daemon (lab::DaemonPath()) with `args`, as its path, to its end: for
// the table and information modes.
ToolRun RunDaemon(const std::vector<std::string>& args, const ToolOptions& opts = {});

}  // namespace lab

#endif  // E1CTLD_LAB_TOOL_H_
