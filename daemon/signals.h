// Signal set-up, detaching, and the exit handlers that put the UART lines
// back and release the lock files.
#ifndef E1CTLD_DAEMON_SIGNALS_H_
#define E1CTLD_DAEMON_SIGNALS_H_

#include <signal.h>

typedef void (*SignalHandler)(int);

// The signals that InstallSignalHandlers gives to the handler: SIGHUP and
// SIGCHLD (which change nothing), SIGUSR1 and SIGUSR2 (the log level), and
// every signal whose default action would end the daemon without its exit
// clean-up and that it does not ignore. All others end it as SIGTERM does.
inline constexpr int kHandledSignals[] = {SIGHUP,  SIGTERM, SIGINT,    SIGQUIT, SIGCHLD, SIGALRM,
                                          SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGUSR1, SIGUSR2};
// The signals it ignores whatever happens: SIGPIPE (writes report EPIPE).
inline constexpr int kIgnoredSignals[] = {SIGPIPE};

// Installs `handler` for kHandledSignals and ignores kIgnoredSignals; with
// a negative `fdMode` points descriptors 0-2 at /dev/null; calls setsid and
// ignores SIGTTOU, SIGTTIN, SIGTSTP. 0, or -1 when /dev/null could not be
// put in place (setsid and the ignores of SIGTTOU, SIGTTIN and SIGTSTP are
// then skipped).
int InstallSignalHandlers(SignalHandler handler, int fdMode);

// Forks; the parent exits 0, the child changes to "/" and returns
// InstallSignalHandlers(handler, fdMode <= 2 ? -1 : fdMode). A failed fork
// ends the process with the error number as its status.
int Daemonize(SignalHandler handler, int fdMode);

// Records a termination signal, or SIGUSR1 / SIGUSR2, for the main loop;
// ignores SIGHUP, SIGCHLD.
void OnSignal(int sig);

// Acts on the last SIGUSR1 (log level 7) or SIGUSR2 (the level the daemon
// started with) recorded since the last call, if any. Main loop.
void ActOnLogLevelSignal();

// The termination signal recorded by OnSignal, or 0.
int PendingTerminationSignal();

// Ends the process for a recorded termination signal: the exit claimed
// first (when another exit is under way, waits for it and never returns),
// lock files released, the exit message (unless daemonized), status 0,
// exit handlers. Does nothing when no signal is pending. Call from
// ordinary code only.
void ActOnPendingSignal();

// Exit handlers; each may run more than once. RestoreAllTTYModes first
// stops every UART writer (StopUARTWriters), then restores the lines.
void RestoreAllTTYModes();
// Removes each lock file that this process locked, while still holding
// the lock, then closes its descriptor; clears lockFd and lockPath.
void ReleaseLockFiles();

#endif  // E1CTLD_DAEMON_SIGNALS_H_
