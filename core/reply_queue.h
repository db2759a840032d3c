// The bounded queue of reply bytes that a port's client could not take at
// once: filled by the serial thread, written out by the port thread as the
// client takes it, so that neither ever waits for the client.
#ifndef E1CTLD_CORE_REPLY_QUEUE_H_
#define E1CTLD_CORE_REPLY_QUEUE_H_

#include <stddef.h>
#include <sys/types.h>

// A ring of `cap` bytes; `len` bytes from `head` on (wrapping) are queued.
struct ReplyQueue {
  char* buf;  // allocated once by OpenReplyQueue; null when there is none
  size_t cap;
  size_t head;
  size_t len;
};

// Allocates the ring. 0, or -1 when memory ran out (buf null, cap 0).
int OpenReplyQueue(ReplyQueue* q, size_t cap);

// Frees the ring; the queue is left empty with buf null and cap 0.
void CloseReplyQueue(ReplyQueue* q);

// Forgets everything queued (the client it was for is gone).
void ClearReplyQueue(ReplyQueue* q);

// Appends all `n` bytes when they fit. False (nothing appended) otherwise.
bool PushReplyBytes(ReplyQueue* q, const char* data, size_t n);

// Appends whole lines of `text` in order, each up to and including its line
// feed (a last piece without one counts as a line), and stops at the first
// line that does not fit. Returns the number of bytes appended; the caller
// drops the rest.
size_t PushWholeLines(ReplyQueue* q, const char* text, size_t n);

// Writes as much of the queue to the socket `fd` as it takes without
// waiting (no SIGPIPE) and removes that from the queue. Returns the bytes
// written (0 when the socket is full), or -1 with errno on a write error.
ssize_t SendQueuedReplies(ReplyQueue* q, int fd);

#endif  // E1CTLD_CORE_REPLY_QUEUE_H_
