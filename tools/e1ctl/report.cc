#include "tools/e1ctl/report.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

namespace e1ctl {

namespace {
bool g_quiet = false;
}  // namespace

void SetQuiet(bool quiet) {
  g_quiet = quiet;
}

void Notice(const char* fmt, ...) {
  if (g_quiet) return;
  va_list ap;
  va_start(ap, fmt);
  fputs("e1ctl: ", stderr);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
}

void Fail(int status, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("e1ctl: ", stderr);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fflush(stdout);
  exit(status);
}

}  // namespace e1ctl
