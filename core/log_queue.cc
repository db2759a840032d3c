#include "core/log_queue.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/worker.h"

// All log output goes through this mutex. Before StartLogWriter() it is
// held while a message is printed to stdout; afterwards only while a
// message is copied into the queue, which the writer thread empties.
static pthread_mutex_t g_logMutex = PTHREAD_MUTEX_INITIALIZER;
// Signalled when text was queued (the writer waits for it) and when text
// was written out (FatalExit and the exit drain wait for that).
static pthread_cond_t g_textQueued = PTHREAD_COND_INITIALIZER;
static pthread_cond_t g_textWritten = PTHREAD_COND_INITIALIZER;

// The queue: a ring of bytes. g_head and g_tail count the bytes written out
// and queued since the start; the writer alone advances g_head, after the
// bytes have left, so g_head == g_tail means everything is out.
static const size_t kQueueSize = 64 * 1024;
// The last part of the queue is kept for what must not be lost to a flood
// of debug lines: errors and worse (level 3 or lower, the exit message of
// a termination signal among them), FatalExit and the dropped-lines count.
static const size_t kReserved = 8 * 1024;
static const int kReservedLevel = 3;
static char g_queue[kQueueSize];
static uint64_t g_head;
static uint64_t g_tail;
// Lines thrown away because the queue was full; reported once output
// flows again, before any later message.
static int g_droppedLines;
static bool g_writerRunning;

// How long the exit handler waits for the queue to be written out.
static const int kExitDrainMs = 500;

// Waits on `cond` until `deadlineMs` (monotonic). Requires: log mutex held.
static void WaitUntilLocked(pthread_cond_t* cond, int64_t deadlineMs) {
  int64_t left = deadlineMs - NowMs();
  if (left <= 0) return;
  struct timespec until = RealtimeDeadline(left);
  pthread_cond_timedwait(cond, &g_logMutex, &until);
}

// Free bytes of the queue, the reserved part counted only when `reserved`.
// Requires: log mutex held.
static size_t RoomLocked(bool reserved) {
  size_t room = kQueueSize - static_cast<size_t>(g_tail - g_head);
  if (!reserved) room = room > kReserved ? room - kReserved : 0;
  return room;
}

// Copies the text into the queue when it has room for all of it, leaving
// the reserved part alone unless `reserved` allows it.
// Requires: log mutex held.
static bool AppendLocked(const char* text, size_t len, bool reserved) {
  if (RoomLocked(reserved) < len) return false;
  size_t at = static_cast<size_t>(g_tail % kQueueSize);
  size_t first = len < kQueueSize - at ? len : kQueueSize - at;
  memcpy(g_queue + at, text, first);
  memcpy(g_queue, text + first, len - first);
  g_tail += len;
  pthread_cond_signal(&g_textQueued);
  return true;
}

// Queues the count of dropped lines, if any; true when none is pending
// afterwards. Before an ordinary message (`urgent` false) it waits for a
// quarter of the queue to be free, so that a steady overload gives one
// count per quarter of output rather than one per dropped line; before an
// urgent one it may take the reserved part. Requires: log mutex held.
static bool AppendDropNoticeLocked(bool urgent) {
  if (g_droppedLines == 0) return true;
  LogText t;
  bool done = FormatLogTextF(&t, 4, "%d log lines dropped while standard output was blocked\n",
                             g_droppedLines) &&
              (urgent || RoomLocked(false) >= t.len + kQueueSize / 4) &&
              AppendLocked(t.text, t.len, urgent);
  FreeLogText(&t);
  if (done) g_droppedLines = 0;
  return done;
}

// Queues a message of the given level, or counts its lines as dropped when
// it does not fit (also while an earlier drop cannot be reported yet, so
// that order is kept). Returns the queue position at its end.
// Requires: log mutex held.
static uint64_t QueueLocked(const char* text, size_t len, int level) {
  bool urgent = level <= kReservedLevel;
  if (AppendDropNoticeLocked(urgent) && AppendLocked(text, len, urgent)) return g_tail;
  int lines = 0;
  for (size_t i = 0; i < len; ++i) lines += text[i] == '\n';
  g_droppedLines += lines > 0 ? lines : 1;
  return g_tail;
}

// Writes everything, waiting as long as standard output makes it wait.
// Gives up on an error other than a full non-blocking descriptor.
static void WriteOut(const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(STDOUT_FILENO, data, len);
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd p = {STDOUT_FILENO, POLLOUT, 0};
      poll(&p, 1, -1);
      continue;
    }
    return;
  }
}

static void* LogWriter(void* /*unused*/) {
  pthread_mutex_lock(&g_logMutex);
  for (;;) {
    while (g_head == g_tail) pthread_cond_wait(&g_textQueued, &g_logMutex);
    // The queued bytes up to the end of the ring: producers only ever
    // write behind g_tail, so these stay as they are while unlocked.
    size_t at = static_cast<size_t>(g_head % kQueueSize);
    size_t len = static_cast<size_t>(g_tail - g_head);
    if (len > kQueueSize - at) len = kQueueSize - at;
    pthread_mutex_unlock(&g_logMutex);
    WriteOut(g_queue + at, len);
    pthread_mutex_lock(&g_logMutex);
    g_head += len;
    // Output flows again: say what was lost before anything newer.
    AppendDropNoticeLocked(false);
    pthread_cond_broadcast(&g_textWritten);
  }
  return nullptr;
}

// Waits until the queue has been written out up to `position`, or until
// `deadlineMs`. Requires: log mutex held.
static void WaitWrittenLocked(uint64_t position, int64_t deadlineMs) {
  while (g_writerRunning && g_head < position && NowMs() < deadlineMs) {
    WaitUntilLocked(&g_textWritten, deadlineMs);
  }
}

// Writes out what was queued before the exit, with the count of the lines
// dropped until then, waiting at most kExitDrainMs. Threads that still log
// meanwhile do not hold it up.
static void DrainLogAtExit() {
  int64_t deadline = NowMs() + kExitDrainMs;
  pthread_mutex_lock(&g_logMutex);
  AppendDropNoticeLocked(true);
  WaitWrittenLocked(g_tail, deadline);
  pthread_mutex_unlock(&g_logMutex);
}

int StartLogWriter() {
  pthread_mutex_lock(&g_logMutex);
  bool running = g_writerRunning;
  pthread_mutex_unlock(&g_logMutex);
  if (running) return 0;
  // What was printed so far must be out before the writer takes over the
  // descriptor.
  fflush(stdout);
  pthread_t thread;
  int rc = StartWorker(&thread, LogWriter, nullptr);
  if (rc != 0) return rc;
  pthread_detach(thread);
  pthread_mutex_lock(&g_logMutex);
  g_writerRunning = true;
  pthread_mutex_unlock(&g_logMutex);
  atexit(DrainLogAtExit);
  return 0;
}

uint64_t EmitLogText(const LogText* t, int level, int64_t roomDeadlineMs) {
  uint64_t end = 0;
  pthread_mutex_lock(&g_logMutex);
  if (!g_writerRunning) {
    fwrite(t->text, 1, t->len, stdout);
    fflush(stdout);
  } else {
    while (roomDeadlineMs != 0 && kQueueSize - (g_tail - g_head) < t->len &&
           NowMs() < roomDeadlineMs) {
      WaitUntilLocked(&g_textWritten, roomDeadlineMs);
    }
    end = QueueLocked(t->text, t->len, level);
  }
  pthread_mutex_unlock(&g_logMutex);
  return end;
}

void WaitLogWritten(uint64_t position, int64_t deadlineMs) {
  pthread_mutex_lock(&g_logMutex);
  WaitWrittenLocked(position, deadlineMs);
  pthread_mutex_unlock(&g_logMutex);
}
