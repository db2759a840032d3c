#include "core/log.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

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

std::string PrefixLines(int priority, std::string_view text) {
  const std::string tag = "<" + std::to_string(priority) + ">";
  std::string out;
  out.reserve(text.size() + tag.size());
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string_view::npos ? text.size() : end + 1;
    out += tag;
    out.append(text.substr(start, end - start));
    start = end;
  }
  return out;
}

bool LogToJournal() {
  // -1 not decided yet; deciding twice gives the same answer.
  static std::atomic<int> decided{-1};
  int d = decided.load();
  if (d >= 0) return d == 1;
  d = 0;
  const char* stream = getenv("JOURNAL_STREAM");
  unsigned long long dev = 0, ino = 0;
  int used = 0;
  struct stat st;
  if (stream != nullptr && sscanf(stream, "%llu:%llu%n", &dev, &ino, &used) == 2 &&
      stream[used] == '\0' && fstat(STDOUT_FILENO, &st) == 0) {
    d = st.st_dev == dev && st.st_ino == ino ? 1 : 0;
  }
  decided.store(d);
  return d == 1;
}

namespace {

// A formatted message: the text lives in `small`, in `heap` when longer,
// or in `prefixed` when it goes to the journal.
struct LogText {
  char small[512];
  char* heap;
  std::string prefixed;
  const char* text;
  size_t len;
};

}  // namespace

// The one place where a message's text becomes final, in the caller's
// thread: printf-style formatting, then for the journal the priority
// prefix on each line. False on a format error (nothing to print). A text
// too long for `small` goes to the heap; without memory it is cut to what
// `small` holds.
static bool FormatLogText(LogText* t, int priority, const char* format, va_list ap)
    __attribute__((format(printf, 3, 0)));
static bool FormatLogText(LogText* t, int priority, const char* format, va_list ap) {
  t->heap = nullptr;
  t->text = t->small;
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(t->small, sizeof t->small, format, ap);
  if (n >= 0 && static_cast<size_t>(n) >= sizeof t->small) {
    t->heap = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
    if (t->heap != nullptr) {
      vsnprintf(t->heap, static_cast<size_t>(n) + 1, format, again);
      t->text = t->heap;
    } else {
      n = static_cast<int>(sizeof t->small) - 1;
    }
  }
  va_end(again);
  t->len = n > 0 ? static_cast<size_t>(n) : 0;
  if (n >= 0 && LogToJournal()) {
    t->prefixed = PrefixLines(priority, std::string_view(t->text, t->len));
    t->text = t->prefixed.data();
    t->len = t->prefixed.size();
  }
  return n >= 0;
}

static bool FormatLogTextF(LogText* t, int priority, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
static bool FormatLogTextF(LogText* t, int priority, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  bool ok = FormatLogText(t, priority, format, ap);
  va_end(ap);
  return ok;
}

static void FreeLogText(LogText* t) {
  free(t->heap);
  t->heap = nullptr;
}

static int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits on `cond` until `deadlineMs` (monotonic). Requires: log mutex held.
static void WaitUntilLocked(pthread_cond_t* cond, int64_t deadlineMs) {
  int64_t left = deadlineMs - NowMs();
  if (left <= 0) return;
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += static_cast<time_t>(left / 1000);
  until.tv_nsec += static_cast<long>(left % 1000) * 1000000;
  if (until.tv_nsec >= 1000000000) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000;
  }
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
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, E1_THREAD_STACK_SIZE);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, LogWriter, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) return rc;
  pthread_detach(thread);
  pthread_mutex_lock(&g_logMutex);
  g_writerRunning = true;
  pthread_mutex_unlock(&g_logMutex);
  atexit(DrainLogAtExit);
  return 0;
}

// Prints the text at once, or queues it for the writer as a message of
// `level`. With a deadline (not 0) a full queue is waited for until then
// instead of dropping the text at once. Returns the queue position at the
// text's end (0 when printed at once).
static uint64_t Emit(const LogText* t, int level, int64_t roomDeadlineMs) {
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

static void LogV(int level, int priority, const char* format, va_list ap)
    __attribute__((format(printf, 3, 0)));
static void LogV(int level, int priority, const char* format, va_list ap) {
  LogText t;
  if (FormatLogText(&t, priority, format, ap)) Emit(&t, level, 0);
  FreeLogText(&t);
}

void LogMessage(int level, const char* format, ...) {
  if (g_options.logLevel < level || g_options.quiet) return;
  va_list ap;
  va_start(ap, format);
  LogV(level, level, format, ap);
  va_end(ap);
}

void LogMessageWithPriority(int level, int priority, const char* format, ...) {
  if (g_options.logLevel < level || g_options.quiet) return;
  va_list ap;
  va_start(ap, format);
  LogV(level, priority, format, ap);
  va_end(ap);
}

static std::atomic<bool> g_exitClaimed{false};
static thread_local bool t_holdsExit = false;
void (*g_exitWaitHook)() = nullptr;

void ClaimExit() {
  if (t_holdsExit) return;
  if (!g_exitClaimed.exchange(true)) {
    t_holdsExit = true;
    return;
  }
  if (g_exitWaitHook != nullptr) g_exitWaitHook();
  for (;;) pause();
}

void ExitProcess(int status) {
  ClaimExit();
  exit(status);
}

void FatalExit(int status, const char* format, ...) {
  // The pause ends a second from now: a moment for an operator watching
  // the terminal before the exit handlers restore the lines and the
  // process goes. The message is out before it ends, and a blocked output
  // cannot stretch it.
  int64_t deadline = NowMs() + 1000;
  uint64_t end = 0;
  if (!g_options.quiet) {
    LogText t;
    va_list ap;
    va_start(ap, format);
    // Level 0: it may use the reserved part of the queue.
    if (FormatLogText(&t, 3, format, ap)) end = Emit(&t, 0, deadline);
    va_end(ap);
    FreeLogText(&t);
  }
  // Claimed before the pause: a termination signal acted on meanwhile
  // waits for this exit instead of ending the process with status 0.
  ClaimExit();
  if (!g_options.quiet) {
    pthread_mutex_lock(&g_logMutex);
    WaitWrittenLocked(end, deadline);
    pthread_mutex_unlock(&g_logMutex);
    int64_t left = deadline - NowMs();
    if (left > 0) poll(nullptr, 0, static_cast<int>(left));
  }
  ExitProcess(status);
}
