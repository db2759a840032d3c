// e1ctl's command line: the options and commands of one run. ParseArgs
// only reads argv; it prints nothing and never ends the program, the
// caller does what the result says.
#ifndef E1CTLD_TOOLS_E1CTL_ARGS_H_
#define E1CTLD_TOOLS_E1CTL_ARGS_H_

#include <string>
#include <vector>

namespace e1ctl {

struct Options {
  std::string ctlIf;
  int port = 0;
  bool portGiven = false;
  std::string socketPath;
  bool list = false;
  bool printPath = false;
  long lines = -1;  // -1: no limit
  double timeout = 2.0;
  double wait = 1.0;
  bool quiet = false;
  std::vector<std::string> commands;
  bool fromStdin = false;
  bool status = false;    // "status [CTLIF]...": the CTLIFs are in commands
  bool json = false;      // status --json
  bool monitor = false;   // "monitor [CTLIF] [-p PORT] [-n N]": CTLIF in ctlIf
  bool logLevel = false;  // "log-level [CTLIF] [N]": CTLIF in ctlIf
  int level = -1;         // the level to set, -1: only print it
  bool metrics = false;   // "metrics": every daemon's status as Prometheus text
};

// The command line read: either run with `options`, or end at once with
// `exitStatus` after printing `output` on standard output (help, version)
// or `error` on standard error (after "e1ctl: ", a usage error).
struct ParsedArgs {
  Options options;
  bool endNow = false;
  int exitStatus = 0;
  std::string output;
  std::string error;
};

// Reads argv[1..argc-1]; the first bad option or value is the error. Uses
// getopt_long and starts it afresh, so it may be called more than once.
ParsedArgs ParseArgs(int argc, char* const* argv);

// The --help text.
extern const char kHelp[];

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_ARGS_H_
