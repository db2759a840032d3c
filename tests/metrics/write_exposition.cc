// Writes FormatMetrics' exposition of the two sample controllers to
// standard output, for the parser check of the metrics test; status 1 when
// FormatMetrics left a document out.
#include <stdio.h>

#include <string>

#include "tools/e1ctl/metrics.h"
#include "tools/e1ctl/metrics_test_samples.h"

int main() {
  std::string error;
  const std::string text =
      e1ctl::FormatMetrics({e1ctl::kSampleOpenController, e1ctl::kSampleLostController}, &error);
  if (!error.empty()) {
    fprintf(stderr, "write_exposition: %s", error.c_str());
    return 1;
  }
  fputs(text.c_str(), stdout);
  return fflush(stdout) == 0 ? 0 : 1;
}
