#include "core/port_slot.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>

#include "core/fd_util.h"
#include "core/log.h"
#include "core/wake_fd.h"

// Logs a reply write that failed, with the tag of the reply path (also when
// the port thread meets the error writing out the queue).
static void LogReplyWriteError(int err) {
  // A client that left before its reply is its own matter: a notice for
  // the journal.
  LogMessageWithPriority(4, 5, "%s: write error (errno=%d): %s\n", "TTY_loop", err, strerror(err));
}

// Lines that found no room in the port's queue are dropped; the first drop
// of a stall (since the queue was last empty) is logged, as a write that
// found the client's socket full. Requires: clientLock held.
static void NoteDroppedLines(E1PortSlot* slot) {
  if (slot->replyStalled) return;
  slot->replyStalled = 1;
  LogReplyWriteError(EAGAIN);
}

// Writes what the client takes at once; the rest goes to the queue.
// Returns true when it queued; fate->taken: the bytes written or queued,
// fate->rest: what met the others (queue full, or no client after a write
// error). Requires: clientLock held, the queue empty.
static bool SendOrQueue(E1PortSlot* slot, int fd, const char* text, size_t len, ReplyFate* fate) {
  size_t* taken = &fate->taken;
  size_t sent = 0;
  int err = 0;
  while (sent < len) {
    ssize_t n = send(fd, text + sent, len - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    err = n < 0 ? errno : EAGAIN;
    break;
  }
  *taken = sent;
  if (sent == len) return false;
  if (err != EAGAIN && err != EWOULDBLOCK) {
    LogReplyWriteError(err);  // the client is gone: this burst is lost
    fate->rest = TapOutcome::kNoClient;
    return false;
  }
  // The rest of a line that went out in part must follow it whole: the
  // queue is empty and holds more than one burst, so it always fits.
  size_t cut = sent;
  if (sent > 0 && text[sent - 1] != '\n') {
    const char* nl = static_cast<const char*>(memchr(text + sent, '\n', len - sent));
    cut = nl != nullptr ? static_cast<size_t>(nl - text) + 1 : len;
    if (!PushReplyBytes(&slot->replies, text + sent, cut - sent)) {
      NoteDroppedLines(slot);
      return false;
    }
  }
  *taken = cut + PushWholeLines(&slot->replies, text + cut, len - cut);
  if (*taken < len) NoteDroppedLines(slot);
  return slot->replies.len > 0;
}

// Lines in `len` bytes of whole lines (a last piece without its line feed
// counts as one).
static uint64_t CountLines(const char* text, size_t len) {
  uint64_t n = 0;
  for (const char* p = text; p < text + len;) {
    const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(text + len - p)));
    ++n;
    if (nl == nullptr) break;
    p = nl + 1;
  }
  return n;
}

// Counts the burst's lines by what became of them.
static void CountReplies(E1PortSlot* slot, const char* text, size_t len, const ReplyFate& f) {
  PortCounters& k = slot->counters;
  if (f.taken > 0) Bump(k.repliesDelivered, CountLines(text, f.taken));
  if (f.taken >= len) return;
  uint64_t rest = CountLines(text + f.taken, len - f.taken);
  switch (f.rest) {
    case TapOutcome::kQueueFull:
      Bump(k.repliesDroppedQueueFull, rest);
      break;
    case TapOutcome::kAfterEof:
      Bump(k.repliesDroppedAfterEof, rest);
      break;
    default:
      Bump(k.repliesDroppedNoClient, rest);
      break;
  }
}

// Tells the main loop that the port's client came or went.
static void BumpClientSeq(E1PortSlot* slot) {
  slot->counters.clientChanges.fetch_add(1);
}

int OpenPortResources(E1PortSlot* slot) {
  int wake = OpenWakeFd();
  if (wake < 0) return -1;
  if (OpenReplyQueue(&slot->replies, kReplyQueueBytes) != 0) {
    CloseRetry(wake);
    return -1;
  }
  pthread_mutex_lock(&slot->clientLock);
  slot->wakeFd = wake;
  pthread_mutex_unlock(&slot->clientLock);
  return 0;
}

void ClosePortResources(E1PortSlot* slot) {
  pthread_mutex_lock(&slot->clientLock);
  if (slot->wakeFd >= 0) CloseRetry(slot->wakeFd);
  slot->wakeFd = -1;
  CloseReplyQueue(&slot->replies);
  pthread_mutex_unlock(&slot->clientLock);
}

void RequestReplay(E1PortSlot* slot) {
  slot->replayRequested = 1;
  // Under clientLock: the descriptor is closed under it when the port
  // thread could not start, and must not be signalled then.
  pthread_mutex_lock(&slot->clientLock);
  SignalWake(slot->wakeFd);
  pthread_mutex_unlock(&slot->clientLock);
}

ReplyFate WriteReplyToClient(E1PortSlot* slot, const char* text, size_t len) {
  bool queued = false;
  ReplyFate fate = {0, TapOutcome::kNoClient};
  pthread_mutex_lock(&slot->clientLock);
  // Under clientLock a descriptor in clientFd is open: the port thread
  // closes it only while holding the same lock.
  int fd = slot->clientFd.load();
  if (fd >= 0 && slot->clientEnded) fate.rest = TapOutcome::kAfterEof;
  if (fd >= 0 && !slot->clientEnded && len > 0) {
    fate.rest = TapOutcome::kQueueFull;
    if (slot->replies.len == 0) {
      queued = SendOrQueue(slot, fd, text, len, &fate);
    } else {
      // Behind queued bytes: the port thread writes them out in order.
      fate.taken = PushWholeLines(&slot->replies, text, len);
      if (fate.taken < len) NoteDroppedLines(slot);
    }
  }
  // The port thread now has bytes to write out as the client takes them.
  if (queued) SignalWake(slot->wakeFd);
  pthread_mutex_unlock(&slot->clientLock);
  CountReplies(slot, text, len, fate);
  return fate;
}

void ShutdownClient(E1PortSlot* slot) {
  pthread_mutex_lock(&slot->clientLock);
  // Until the next client is accepted, nothing more goes to this port.
  slot->clientEnded = 1;
  int fd = slot->clientFd.load();
  // With replies still queued the port thread shuts the client down once
  // they are out, so that the client reads them before its end of file.
  if (fd >= 0 && slot->replies.len == 0 && IsFdValid(fd)) shutdown(fd, SHUT_RDWR);
  pthread_mutex_unlock(&slot->clientLock);
}

void AttachPortClient(E1PortSlot* slot, int fd) {
  pthread_mutex_lock(&slot->clientLock);
  ClearReplyQueue(&slot->replies);
  slot->replyStalled = 0;
  slot->clientEnded = 0;
  slot->clientFd = fd;
  pthread_mutex_unlock(&slot->clientLock);
  slot->counters.clientSinceMs.store(WallMs(), std::memory_order_relaxed);
  Bump(slot->counters.clientsAccepted);
  BumpClientSeq(slot);
}

void ClosePortClient(E1PortSlot* slot) {
  pthread_mutex_lock(&slot->clientLock);
  CloseRetry(slot->clientFd.load());
  slot->clientFd = -1;
  ClearReplyQueue(&slot->replies);
  slot->replyStalled = 0;
  pthread_mutex_unlock(&slot->clientLock);
  slot->counters.clientSinceMs.store(0, std::memory_order_relaxed);
  BumpClientSeq(slot);
}

bool HasQueuedReplies(E1PortSlot* slot) {
  pthread_mutex_lock(&slot->clientLock);
  bool queued = slot->replies.len > 0;
  pthread_mutex_unlock(&slot->clientLock);
  return queued;
}

void WriteQueuedReplies(E1PortSlot* slot) {
  pthread_mutex_lock(&slot->clientLock);
  int fd = slot->clientFd.load();
  if (SendQueuedReplies(&slot->replies, fd) < 0) {
    int err = errno;
    ClearReplyQueue(&slot->replies);  // the client is gone
    LogReplyWriteError(err);
  }
  if (slot->replies.len == 0) {
    slot->replyStalled = 0;
    if (slot->clientEnded) shutdown(fd, SHUT_RDWR);
  }
  pthread_mutex_unlock(&slot->clientLock);
}
