// The program's front door: options, discovery, then a table or the
// supervisor run.
#ifndef E1CTLD_DAEMON_E1_MAIN_H_
#define E1CTLD_DAEMON_E1_MAIN_H_

// Runs the program for `argv`. Returns the exit status of the informational
// modes (tables, help, version); the daemon's run itself never returns, and
// failures end the process through FatalExit.
int E1Main(int argc, char** argv);

#endif  // E1CTLD_DAEMON_E1_MAIN_H_
