#include "tools/e1ctl/process_state.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using e1ctl::StatShowsEnding;

TEST(ProcessState, StatLineTellsALiveProcessFromAnEndingOne) {
  // Running and sleeping, flags of a live thread (PF_FORKNOEXEC 0x40,
  // PF_RANDOMIZE 0x400000).
  EXPECT_FALSE(StatShowsEnding("812 (e1ctld) S 1 812 812 0 -1 4194560 310 0 0 0 1 2 0 0 20 0"));
  EXPECT_FALSE(StatShowsEnding("812 (e1ctld) R 1 812 812 0 -1 4194368 310 0"));
  // A zombie, a dead task, and a live state with PF_EXITING (0x4) set.
  EXPECT_TRUE(StatShowsEnding("812 (e1ctld) Z 1 812 812 0 -1 4227084 310 0"));
  EXPECT_TRUE(StatShowsEnding("812 (e1ctld) X 1 812 812 0 -1 4194560 310 0"));
  EXPECT_TRUE(StatShowsEnding("812 (e1ctld) D 1 812 812 0 -1 4194564 310 0"));
  EXPECT_TRUE(StatShowsEnding("812 (e1ctld) S 1 812 812 0 -1 4 310 0"));
  // A command name with spaces and parentheses: the fields after the last ')'.
  EXPECT_FALSE(StatShowsEnding("9 (a) Z (b) S 1 9 9 0 -1 4194560 0 0"));
  EXPECT_TRUE(StatShowsEnding("9 (a) S (b) Z 1 9 9 0 -1 4194560 0 0"));
  // Text of any other form says nothing.
  EXPECT_FALSE(StatShowsEnding(""));
  EXPECT_FALSE(StatShowsEnding("812 e1ctld Z 1"));
  EXPECT_FALSE(StatShowsEnding("812 (e1ctld) Z"));
}

}  // namespace
