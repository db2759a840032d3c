// Run options and leveled logging to standard output.
#ifndef E1CTLD_CORE_LOG_H_
#define E1CTLD_CORE_LOG_H_

#include <stdint.h>

#include <string>
#include <string_view>

// Set by the command line before any thread starts; read without a lock.
struct RunOptions {
  uint8_t quiet;
  int logLevel;
  uint8_t scanOnly;
  uint8_t printPrefix;
  uint8_t daemonize;
  uint8_t ethOnHub;
  uint8_t keepEthNames;
  uint8_t searchMore;
  uint8_t inNamespace;
};

extern RunOptions g_options;

// Resets g_options to its defaults (log level 4, every flag clear).
void SetDefaultRunOptions();

// Prints the message when `level` <= logLevel and not quiet. The text is
// formatted in the caller's thread (and prefixed for the journal, see
// LogToJournal); before StartLogWriter() it is written to standard output at
// once under the log mutex (and flushed), afterwards it is queued and the
// call never waits on the output. When the queue is full the message is
// dropped and counted (see StartLogWriter).
void LogMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Starts the log writer thread: from now on log messages go to a bounded
// in-memory queue (64 KB, of which the last 8 KB only take messages of
// level 3 or lower and FatalExit's) that it writes to standard output in
// order. Lines that find the queue full are dropped; once output flows again
// "<n> log lines dropped while standard output was blocked" comes before
// anything newer. Registers an exit handler that writes the queue out,
// waiting at most 500 ms. Call once from the main thread, after any fork.
// Returns 0, or the thread creation error (output then stays synchronous).
int StartLogWriter();

// As LogMessage, filtered by `level`, but shown to the journal with
// `priority` (a stop by signal is logged at level 1 yet is a notice).
void LogMessageWithPriority(int level, int priority, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// `text` with "<priority>" put before each of its lines (before the first
// character and after every line feed that is not the last character), as
// the journal reads syslog priorities from a stream.
std::string PrefixLines(int priority, std::string_view text);

// True when $JOURNAL_STREAM ("device:inode") names what standard output is:
// the log then goes to the journal and carries priority prefixes. Decided
// at the first call.
bool LogToJournal();

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

#endif  // E1CTLD_CORE_LOG_H_
