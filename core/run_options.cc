#include "core/run_options.h"

RunOptions g_options = {0, 4, 0, 0, 0, 0, 0, 0, 0};

void SetDefaultRunOptions() {
  g_options = RunOptions{};
  g_options.logLevel = 4;
}
