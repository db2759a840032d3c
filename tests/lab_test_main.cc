// main() of every end-to-end test binary: into the sandbox first (the
// binary re-executes itself there as PID 1), then the programs under test,
// then the tests. E1_LAB_DAEMON runs the same tests against another build.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "lab/sandbox.h"
#include "lab/tool.h"

int main(int argc, char** argv) {
  lab::EnterSandbox(argc, argv);
  const char* other = getenv("E1_LAB_DAEMON");
  lab::SetDaemonPath(other != nullptr && *other != '\0' ? other : E1CTLD_PATH);
#ifdef E1CTL_PATH
  lab::SetE1ctlPath(E1CTL_PATH);
#endif
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
