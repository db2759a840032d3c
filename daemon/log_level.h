// The log level at run time: set through the control socket and by SIGUSR1
// (raised to 7) and SIGUSR2 (back to the level the daemon started with).
#ifndef E1CTLD_DAEMON_LOG_LEVEL_H_
#define E1CTLD_DAEMON_LOG_LEVEL_H_

// The highest level of the daemon's messages (debug).
constexpr int kMaxLogLevel = 7;

// Sets g_options.logLevel to `level` (0..7) and logs the change at level 5,
// under whichever of the two levels shows it. Returns the old level. Any
// thread.
int ChangeLogLevel(int level);

#endif  // E1CTLD_DAEMON_LOG_LEVEL_H_
