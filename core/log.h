// Leveled logging to standard output (or the journal behind it).
#ifndef E1CTLD_CORE_LOG_H_
#define E1CTLD_CORE_LOG_H_

// Prints the message when `level` <= logLevel and not quiet. The text is
// formatted in the caller's thread (and prefixed for the journal, see
// LogToJournal in core/log_text.h); before StartLogWriter() it is written to
// standard output at once under the log mutex (and flushed), afterwards it
// is queued and the call never waits on the output. When the queue is full
// the message is dropped and counted (see core/log_queue.h).
void LogMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// As LogMessage, filtered by `level`, but shown to the journal with
// `priority` (a stop by signal is logged at level 1 yet is a notice).
void LogMessageWithPriority(int level, int priority, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#endif  // E1CTLD_CORE_LOG_H_
