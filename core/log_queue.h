// Where log text goes: straight to standard output until the log writer
// starts, then into a bounded queue that a writer thread empties, so that
// no other thread ever waits on standard output.
#ifndef E1CTLD_CORE_LOG_QUEUE_H_
#define E1CTLD_CORE_LOG_QUEUE_H_

#include <stdint.h>

#include "core/log_text.h"

// Starts the log writer thread: from now on log text goes to a bounded
// in-memory queue (64 KB, of which the last 8 KB only take messages of
// level 3 or lower and FatalExit's) that it writes to standard output in
// order. Lines that find the queue full are dropped; once output flows again
// "<n> log lines dropped while standard output was blocked" comes before
// anything newer. Registers an exit handler that writes the queue out,
// waiting at most 500 ms. Call once from the main thread, after any fork.
// Returns 0, or the thread creation error (output then stays synchronous).
int StartLogWriter();

// Prints the text at once (before StartLogWriter), or queues it as a
// message of `level`. With a deadline (monotonic ms, not 0) a full queue is
// waited for until then instead of dropping the text at once. Returns the
// queue position at the text's end (0 when printed at once).
uint64_t EmitLogText(const LogText* t, int level, int64_t roomDeadlineMs);

// Waits until the queue has been written out up to `position` (as returned
// by EmitLogText), or until `deadlineMs`; at once without a writer.
void WaitLogWritten(uint64_t position, int64_t deadlineMs);

#endif  // E1CTLD_CORE_LOG_QUEUE_H_
