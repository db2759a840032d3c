#include "ports/command_block.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

struct Block {
  char work[kMaxBlockCommands][kCommandLineSize];
  int count = 0;
  std::string Line(int i) const { return work[i]; }
};

Block Format(std::string text, uint32_t port) {
  Block b;
  memset(b.work, 0x55, sizeof b.work);
  b.count = FormatCommandBlock(text.data(), port, b.work);
  return b;
}

TEST(CommandBlock, SeparatorsCutCommandsAndEmptyOnesDoNotCount) {
  Block b = Format("a;b;;c\r\n", 1);
  ASSERT_EQ(b.count, 3);
  EXPECT_EQ(b.Line(0), "port E1.1 a\n");
  EXPECT_EQ(b.Line(1), "port E1.1 b\n");
  EXPECT_EQ(b.Line(2), "port E1.1 c\n");

  EXPECT_EQ(Format(";;\r\n\n;", 0).count, 0);
  EXPECT_EQ(Format("", 0).count, 0);
  Block ctrlZ = Format("stop\x1a", 2);
  ASSERT_EQ(ctrlZ.count, 1);  // forwarded all the same
  EXPECT_EQ(ctrlZ.Line(0), "port E1.2 stop\x1a\n");
}

TEST(CommandBlock, AtMost32CommandsOf126Characters) {
  std::string many;
  for (int i = 0; i < 40; ++i) many += "c" + std::to_string(i) + ";";
  Block b = Format(many, 0);
  ASSERT_EQ(b.count, 32);
  EXPECT_EQ(b.Line(31), "port E1.0 c31\n");

  Block keep = Format(std::string(115, 'k'), 0);
  EXPECT_EQ(keep.Line(0).size(), 126u);
  EXPECT_EQ(keep.Line(0).back(), '\n');

  Block cut = Format(std::string(116, 'x'), 1);
  EXPECT_EQ(cut.Line(0), "port E1.1 " + std::string(116, 'x'));  // 126, no newline
  Block huge = Format(std::string(1000, 'y'), 1);
  EXPECT_EQ(huge.Line(0).size(), 126u);
}

// The limits that clients read from this header are the formatter's own.
TEST(CommandBlock, NamedLimitsMatchTheFormattedLines) {
  for (uint32_t port = 0; port < 3; ++port) {
    Block keep = Format(std::string(kMaxCommandKeepingLineEnd, 'k'), port);
    EXPECT_EQ(keep.Line(0).size(), kCommandLineChars);
    EXPECT_EQ(keep.Line(0).back(), '\n');
    EXPECT_EQ(keep.Line(0).find('k'), kCommandPrefixChars);

    Block cut = Format(std::string(kMaxCommandKeepingLineEnd + 1, 'x'), port);
    EXPECT_EQ(cut.Line(0).size(), kCommandLineChars);
    EXPECT_EQ(cut.Line(0).back(), 'x');
  }
}

}  // namespace
