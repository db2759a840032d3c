// The daemon's descriptor limit: every controller costs about nine
// descriptors (lock file, UART, sockets and their clients, wake-ups), so a
// hub tree of many controllers needs more than the usual soft limit of 1024.
#ifndef E1CTLD_DAEMON_DESCRIPTOR_LIMIT_H_
#define E1CTLD_DAEMON_DESCRIPTOR_LIMIT_H_

// Raises the soft limit of open descriptors (RLIMIT_NOFILE) to the hard
// limit. Returns the soft limit in force afterwards, or -1 when it cannot
// be read; a limit that cannot be raised stays as it was, silently (the
// daemon runs with what it has, as before).
long long RaiseDescriptorLimit();

#endif  // E1CTLD_DAEMON_DESCRIPTOR_LIMIT_H_
