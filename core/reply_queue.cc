#include "core/reply_queue.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>

int OpenReplyQueue(ReplyQueue* q, size_t cap) {
  q->head = 0;
  q->len = 0;
  q->buf = static_cast<char*>(malloc(cap));
  q->cap = q->buf != nullptr ? cap : 0;
  return q->buf != nullptr ? 0 : -1;
}

void CloseReplyQueue(ReplyQueue* q) {
  free(q->buf);
  q->buf = nullptr;
  q->cap = 0;
  q->head = 0;
  q->len = 0;
}

void ClearReplyQueue(ReplyQueue* q) {
  q->head = 0;
  q->len = 0;
}

bool PushReplyBytes(ReplyQueue* q, const char* data, size_t n) {
  if (n > q->cap - q->len) return false;
  if (n == 0) return true;
  size_t tail = (q->head + q->len) % q->cap;
  size_t first = n < q->cap - tail ? n : q->cap - tail;
  memcpy(q->buf + tail, data, first);
  memcpy(q->buf, data + first, n - first);
  q->len += n;
  return true;
}

size_t PushWholeLines(ReplyQueue* q, const char* text, size_t n) {
  size_t done = 0;
  while (done < n) {
    const char* nl = static_cast<const char*>(memchr(text + done, '\n', n - done));
    size_t line = nl != nullptr ? static_cast<size_t>(nl - (text + done)) + 1 : n - done;
    if (!PushReplyBytes(q, text + done, line)) break;
    done += line;
  }
  return done;
}

ssize_t SendQueuedReplies(ReplyQueue* q, int fd) {
  size_t sent = 0;
  while (q->len > 0) {
    // The queued bytes in at most two pieces: up to the end of the ring,
    // then from its start.
    size_t first = q->len < q->cap - q->head ? q->len : q->cap - q->head;
    struct iovec iov[2] = {{q->buf + q->head, first}, {q->buf, q->len - first}};
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov;
    msg.msg_iovlen = q->len > first ? 2 : 1;
    ssize_t n = sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return -1;
    }
    if (n == 0) break;
    size_t took = static_cast<size_t>(n);
    q->head = (q->head + took) % q->cap;
    q->len -= took;
    sent += took;
  }
  if (q->len == 0) q->head = 0;
  return static_cast<ssize_t>(sent);
}
