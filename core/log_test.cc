// Priority prefixes for the journal: every line of a message, and only
// lines, gets the tag.
#include "core/log.h"

#include <gtest/gtest.h>

namespace {

TEST(PrefixLines, TagsEveryLineOfTheMessage) {
  EXPECT_EQ(PrefixLines(4, "Parameter 1: x\n"), "<4>Parameter 1: x\n");
  // Two lines, the second empty (the controller listing's blank line).
  EXPECT_EQ(PrefixLines(6, "Found 1 E1 controller\n\n"), "<6>Found 1 E1 controller\n<6>\n");
  // A message whose last line has no line end: still tagged, nothing added.
  EXPECT_EQ(PrefixLines(7, "received 3 bytes:\nabc"), "<7>received 3 bytes:\n<7>abc");
  EXPECT_EQ(PrefixLines(3, "a\nb\nc\n"), "<3>a\n<3>b\n<3>c\n");
  EXPECT_EQ(PrefixLines(1, ""), "");
}

TEST(PrefixLines, KeepsTheBytesOfTheText) {
  std::string text("x\r\n\0y\n", 6);
  EXPECT_EQ(PrefixLines(5, text), std::string("<5>x\r\n<5>\0y\n", 12));
}

}  // namespace
