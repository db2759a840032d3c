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
  LogMessage(4, "%s: write error (errno=%d): %s\n", "TTY_loop", err, strerror(err));
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
// Returns true when it queued. Requires: clientLock held, the queue empty.
static bool SendOrQueue(E1PortSlot* slot, int fd, const char* text, size_t len) {
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
  if (sent == len) return false;
  if (err != EAGAIN && err != EWOULDBLOCK) {
    LogReplyWriteError(err);  // the client is gone: this burst is lost
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
  if (cut + PushWholeLines(&slot->replies, text + cut, len - cut) < len) NoteDroppedLines(slot);
  return slot->replies.len > 0;
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

void WriteReplyToClient(E1PortSlot* slot, const char* text, size_t len) {
  bool queued = false;
  pthread_mutex_lock(&slot->clientLock);
  // Under clientLock a descriptor in clientFd is open: the port thread
  // closes it only while holding the same lock.
  int fd = slot->clientFd.load();
  if (fd >= 0 && !slot->clientEnded && len > 0) {
    if (slot->replies.len == 0) {
      queued = SendOrQueue(slot, fd, text, len);
    } else if (PushWholeLines(&slot->replies, text, len) < len) {
      // Behind queued bytes: the port thread writes them out in order.
      NoteDroppedLines(slot);
    }
  }
  // The port thread now has bytes to write out as the client takes them.
  if (queued) SignalWake(slot->wakeFd);
  pthread_mutex_unlock(&slot->clientLock);
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
}

void ClosePortClient(E1PortSlot* slot) {
  pthread_mutex_lock(&slot->clientLock);
  CloseRetry(slot->clientFd.load());
  slot->clientFd = -1;
  ClearReplyQueue(&slot->replies);
  slot->replyStalled = 0;
  pthread_mutex_unlock(&slot->clientLock);
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
