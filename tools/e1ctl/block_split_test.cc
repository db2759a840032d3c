#include "tools/e1ctl/block_split.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ports/command_block.h"
#include "ports/command_framer.h"

namespace e1ctl {
namespace {

using Strings = std::vector<std::string>;

// The commands the daemon forwards from one read of `block`, without the
// prefix and line end of their lines.
Strings DaemonCommands(const std::string& block) {
  struct Out {
    Strings cmds;
  } out;
  CommandFramer f;
  InitCommandFramer(&f);
  CommandFn take = [](void* ctx, const char* text, size_t len) {
    char line[kCommandLineSize];
    size_t n = FormatCommandLine(text, len, 0, line);
    if (n == 0) return;
    static_cast<Out*>(ctx)->cmds.emplace_back(line + kCommandPrefixChars,
                                              n - kCommandPrefixChars - 1);
  };
  FrameRead(&f, block.data(), block.size(), take, &out);
  FlushTail(&f, take, &out);
  return out.cmds;
}

TEST(BlockSplit, CommandsAreCutAtSemicolonsAndLineEndsAndEmptyOnesDropped) {
  EXPECT_EQ(SplitCommands("a;b\rc\nd"), (Strings{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitCommands(";;set x 1;\r\n\r\nshow ;"), (Strings{"set x 1", "show "}));
  EXPECT_EQ(SplitCommands("tail"), (Strings{"tail"}));
  EXPECT_TRUE(SplitCommands("").empty());
  EXPECT_TRUE(SplitCommands(";\r\n;").empty());
}

TEST(BlockSplit, BlocksHoldAtMost32CommandsEachEndingInALineFeed) {
  Strings cmds;
  for (int i = 0; i < 2 * kMaxBlockCommands + 1; ++i) cmds.push_back("c" + std::to_string(i));
  Strings blocks = MakeBlocks(cmds);
  ASSERT_EQ(blocks.size(), 3u);
  Strings again;
  for (const std::string& b : blocks) {
    ASSERT_EQ(b.back(), '\n');
    Strings inBlock = SplitCommands(b);
    // What the daemon takes from the block is the block's commands, all of them.
    EXPECT_EQ(DaemonCommands(b), inBlock);
    again.insert(again.end(), inBlock.begin(), inBlock.end());
  }
  EXPECT_EQ(SplitCommands(blocks[0]).size(), static_cast<size_t>(kMaxBlockCommands));
  EXPECT_EQ(blocks[2], "c64\n");
  EXPECT_EQ(again, cmds);  // nothing lost, order kept
  EXPECT_EQ(MakeBlocks({"a", "b"}), (Strings{"a;b\n"}));
  EXPECT_TRUE(MakeBlocks({}).empty());
}

TEST(BlockSplit, BlocksFitOneReadOfTheDaemon) {
  // Two commands that fill a read to the byte, then one byte too many.
  std::string half(kMaxBlockBytes / 2 - 1, 'a');
  Strings full = MakeBlocks({half, half});
  ASSERT_EQ(full.size(), 1u);
  EXPECT_EQ(full[0].size(), kMaxBlockBytes);
  Strings over = MakeBlocks({half, half + "b"});
  ASSERT_EQ(over.size(), 2u);
  EXPECT_EQ(over[0], half + "\n");

  // A command longer than a read is cut to fill a block alone.
  Strings huge = MakeBlocks({"x", std::string(3000, 'y'), "z"});
  ASSERT_EQ(huge.size(), 3u);
  EXPECT_EQ(huge[1], std::string(kMaxBlockBytes - 1, 'y') + "\n");
  EXPECT_EQ(huge[2], "z\n");
}

TEST(BlockSplit, CommandsDroppedByTheDaemonAreThoseThatDoNotFitALine) {
  for (size_t len : {size_t{1}, kMaxCommandChars - 1, kMaxCommandChars, kMaxCommandChars + 1,
                     kMaxCommandChars + 2, size_t{500}}) {
    std::string cmd(len, 'k');
    Strings sent = DaemonCommands(cmd + "\n");
    EXPECT_EQ(DroppedByDaemon(cmd), sent.empty()) << "length " << len;
    if (!sent.empty()) {
      EXPECT_EQ(sent[0], cmd);
    }
  }
}

TEST(BlockSplit, ArgumentsAreOneBlockOrAUsageError) {
  std::string block, error;
  Strings cmds;
  ASSERT_TRUE(ArgumentBlock({"a", "b;c", "", "d\n"}, &block, &cmds, &error));
  EXPECT_EQ(block, "a;b;c;d\n");
  EXPECT_EQ(cmds, (Strings{"a", "b", "c", "d"}));

  EXPECT_FALSE(ArgumentBlock({";", "\n"}, &block, &cmds, &error));
  EXPECT_EQ(error, "no command in the arguments (only separators)\n");

  Strings many(kMaxBlockCommands + 1, "ab");
  EXPECT_FALSE(ArgumentBlock(many, &block, &cmds, &error));
  EXPECT_EQ(error,
            "33 commands, 99 bytes: more than one block (at most 32 commands and 1024 bytes); "
            "the daemon replays only its last block, so send them from standard input\n");
  Strings exactly(kMaxBlockCommands, "ab");
  EXPECT_TRUE(ArgumentBlock(exactly, &block, &cmds, &error));
  EXPECT_EQ(block.size(), 3u * kMaxBlockCommands);
}

}  // namespace
}  // namespace e1ctl
