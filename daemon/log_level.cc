#include "daemon/log_level.h"

#include "core/log.h"
#include "core/run_options.h"

int ChangeLogLevel(int level) {
  int old = g_options.logLevel.Get();
  // Logged under the higher of the two levels: before a lowering, after a
  // raise, so that a level-5 change shows whenever either level shows it.
  if (level < old) LogMessage(5, "Log level changed from %d to %d\n", old, level);
  g_options.logLevel = level;
  if (level >= old) LogMessage(5, "Log level changed from %d to %d\n", old, level);
  return old;
}
