#include "core/log.h"

#include <stdarg.h>

#include "core/log_queue.h"
#include "core/log_text.h"
#include "core/run_options.h"

static void LogV(int level, int priority, const char* format, va_list ap)
    __attribute__((format(printf, 3, 0)));
static void LogV(int level, int priority, const char* format, va_list ap) {
  LogText t;
  if (FormatLogText(&t, priority, format, ap)) EmitLogText(&t, level, 0);
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
