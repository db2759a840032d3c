#include "core/process_exit.h"

#include <poll.h>
#include <stdarg.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

#include "core/clock.h"
#include "core/log_queue.h"
#include "core/log_text.h"
#include "core/run_options.h"

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
    if (FormatLogText(&t, 3, format, ap)) end = EmitLogText(&t, 0, deadline);
    va_end(ap);
    FreeLogText(&t);
  }
  // Claimed before the pause: a termination signal acted on meanwhile
  // waits for this exit instead of ending the process with status 0.
  ClaimExit();
  if (!g_options.quiet) {
    WaitLogWritten(end, deadline);
    int64_t left = deadline - NowMs();
    if (left > 0) poll(nullptr, 0, static_cast<int>(left));
  }
  ExitProcess(status);
}
