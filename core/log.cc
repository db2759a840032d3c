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
    PrintLocked(format, ap);
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
