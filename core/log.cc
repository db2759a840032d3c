#include "core/log.h"

#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

static pthread_mutex_t g_logMutex = PTHREAD_MUTEX_INITIALIZER;

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

static void PrintLocked(int priority, const char* format, va_list ap)
    __attribute__((format(printf, 2, 0)));
static void PrintLocked(int priority, const char* format, va_list ap) {
  // For the journal the text is formatted first, then each line prefixed.
  std::string prefixed;
  bool journal = LogToJournal();
  if (journal) {
    char* text = nullptr;
    int n = vasprintf(&text, format, ap);
    if (n >= 0) prefixed = PrefixLines(priority, std::string_view(text, static_cast<size_t>(n)));
    free(text);
  }
  pthread_mutex_lock(&g_logMutex);
  if (journal) {
    fwrite(prefixed.data(), 1, prefixed.size(), stdout);
  } else {
    vfprintf(stdout, format, ap);
  }
  fflush(stdout);
  pthread_mutex_unlock(&g_logMutex);
}

void LogMessage(int level, const char* format, ...) {
  if (g_options.logLevel < level || g_options.quiet) return;
  va_list ap;
  va_start(ap, format);
  PrintLocked(level, format, ap);
  va_end(ap);
}

void LogMessageWithPriority(int level, int priority, const char* format, ...) {
  if (g_options.logLevel < level || g_options.quiet) return;
  va_list ap;
  va_start(ap, format);
  PrintLocked(priority, format, ap);
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
  if (!g_options.quiet) {
    va_list ap;
    va_start(ap, format);
    PrintLocked(3, format, ap);
    va_end(ap);
  }
  // Claimed before the pause: a termination signal acted on meanwhile
  // waits for this exit instead of ending the process with status 0.
  ClaimExit();
  // Give an operator watching the terminal a moment before the exit
  // handlers restore the lines and the process goes.
  if (!g_options.quiet) poll(nullptr, 0, 1000);
  ExitProcess(status);
}
