#include "core/log.h"

#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

static pthread_mutex_t g_logMutex = PTHREAD_MUTEX_INITIALIZER;

static void PrintLocked(const char* format, va_list ap) __attribute__((format(printf, 1, 0)));
static void PrintLocked(const char* format, va_list ap) {
  pthread_mutex_lock(&g_logMutex);
  vfprintf(stdout, format, ap);
  fflush(stdout);
  pthread_mutex_unlock(&g_logMutex);
}

void LogMessage(int level, const char* format, ...) {
  if (g_options.logLevel < level || g_options.quiet) return;
  va_list ap;
  va_start(ap, format);
  PrintLocked(format, ap);
  va_end(ap);
}

void ExitProcess(int status) {
  static std::atomic<bool> exiting{false};
  if (exiting.exchange(true)) {
    for (;;) pause();
  }
  exit(status);
}

void FatalExit(int status, const char* format, ...) {
  if (!g_options.quiet) {
    va_list ap;
    va_start(ap, format);
    PrintLocked(format, ap);
    va_end(ap);
    // Give an operator watching the terminal a moment before the exit
    // handlers restore the lines and the process goes.
    poll(nullptr, 0, 1000);
  }
  ExitProcess(status);
}
