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

// Prints the message when `level` <= logLevel and not quiet, under the log
// mutex, and flushes standard output.
void LogMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

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

// Prints the message unless quiet, claims the exit, waits one second (not
// when quiet), then leaves through ExitProcess(status). A termination
// signal that arrives meanwhile does not change the status.
[[noreturn]] void FatalExit(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#endif  // E1CTLD_CORE_LOG_H_
