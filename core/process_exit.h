// How the process ends: once, from one thread, through the exit handlers.
#ifndef E1CTLD_CORE_PROCESS_EXIT_H_
#define E1CTLD_CORE_PROCESS_EXIT_H_

// Claims the once-only exit of the process for the calling thread and
// returns; a thread that holds the claim already returns at once. Any
// other thread that gets here after the claim (a second fatal error, a
// signal acted on meanwhile) waits for the process to end and never
// returns: two concurrent exit() calls share out the handlers, and the one
// that finishes first ends the process while the other is still inside
// its handler.
void ClaimExit();

// Test hook, null in production: called by a thread that finds the exit
// claimed by another, just before it waits for the end.
extern void (*g_exitWaitHook)();

// Ends the process through exit(status), so that the exit handlers run,
// after claiming the exit (see ClaimExit: only the claiming thread gets
// through).
[[noreturn]] void ExitProcess(int status);

// Prints the message unless quiet, claims the exit, pauses one second (not
// when quiet), then leaves through ExitProcess(status). With the log writer
// running, the pause also bounds the wait for the message to be written
// out. A termination signal that arrives meanwhile does not change the
// status.
[[noreturn]] void FatalExit(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#endif  // E1CTLD_CORE_PROCESS_EXIT_H_
