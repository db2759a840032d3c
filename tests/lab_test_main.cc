// main() of every end-to-end test binary: into the sandbox first (the
// binary re-executes itself there as PID 1), then the programs under test,
// then the tests. Listing the tests (--gtest_list_tests, as ctest does to
// learn the cases) runs nothing and needs no sandbox, so it stays outside
// and works without root. E1_LAB_DAEMON runs the same tests against
// another build of the daemon.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include "lab/sandbox.h"
#include "lab/tool.h"

namespace {

bool ListsTests(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--gtest_list_tests") == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (!ListsTests(argc, argv)) lab::EnterSandbox(argc, argv);
  const char* other = getenv("E1_LAB_DAEMON");
  lab::SetDaemonPath(other != nullptr && *other != '\0' ? other : E1CTLD_PATH);
#ifdef E1CTL_PATH
  lab::SetE1ctlPath(E1CTL_PATH);
#endif
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
