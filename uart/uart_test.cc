#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "uart/reply_route.h"

namespace {

// Feeds pieces and returns the lines that became complete.
std::vector<std::string> Feed(LineAssembler* a, const std::vector<std::string>& pieces,
                              int* overflows = nullptr) {
  std::vector<std::string> lines;
  for (const auto& p : pieces) {
    bool complete = false;
    if (AppendPiece(a, p.data(), p.size(), &complete) == PieceResult::kOverflow && overflows) {
      ++*overflows;
    }
    if (complete) lines.emplace_back(a->buf);
  }
  return lines;
}

TEST(LineAssembly, PiecesJoinIntoOneLine) {
  LineAssembler a{};
  auto lines = Feed(&a, {"ACK:E1", ".1:O", "K\n", "ACK:E1:x\n"});
  EXPECT_EQ(lines, (std::vector<std::string>{"ACK:E1.1:OK\n", "ACK:E1:x\n"}));
  EXPECT_EQ(a.fill, 0);
}

TEST(LineAssembly, LongLinesAreCutAt511AndTheRestDropped) {
  LineAssembler a{};
  std::string longLine(599, 'x');
  longLine += '\n';
  auto lines = Feed(&a, {longLine, "next\n"});
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(511, 'x'));  // no line end left
  EXPECT_EQ(lines[1], "next\n");

  // The same line in pieces: the piece that finds the buffer full is
  // dropped; its line feed still ends the line.
  int overflows = 0;
  lines = Feed(&a, {std::string(300, 'a'), std::string(300, 'b'), std::string(50, 'c'), "z\n"},
               &overflows);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(overflows, 1);
  // After the overflow the line starts again with "z\n" over the old text.
  EXPECT_EQ(lines[0], "z\n");
}

TEST(ReplyParsing, PortTagsInOrderLaterOverridesEarlier) {
  struct Case {
    const char* line;
    bool ack;
    int port;
    const char* text;
    bool eof;
  } cases[] = {
      {"ACK:E1.1:OK\n", true, 1, "OK\n", false},
      {"ack:e1:status\n", true, 0, "status\n", false},
      {"ACK:E1.0:x\n", true, 0, "x\n", false},
      {"ACK:E1.2:x\n", true, 2, "x\n", false},
      {"ACK:E1:E1.2:x\n", true, 2, "x\n", false},
      {"ACK:E1.0:E1.?:x\n", true, -1, "x\n", false},
      {"ACK:E1.?:x\n", true, -1, "x\n", false},
      {"ACK:hello\n", true, -1, "hello\n", false},
      {"ACK:E1.3:x\n", true, -1, "E1.3:x\n", false},
      {"ACK:E1.0:EOF\n", true, 0, "EOF\n", true},
      {"ACK:E1.1:eofx\n", true, 1, "eofx\n", true},
      {"ACK:E1.0:\x1a\n", true, 0, "\x1a\n", true},
      {"ACK:EOF\n", true, -1, "EOF\n", false},  // no port named: not an end-of-file reply
      {"STATUS ok\n", false, 0, nullptr, false},
      {"AC", false, 0, nullptr, false},
  };
  for (const Case& c : cases) {
    ReplyTarget t{};
    ASSERT_EQ(ParseReply(c.line, &t), c.ack) << c.line;
    if (!c.ack) continue;
    EXPECT_EQ(t.port, c.port) << c.line;
    EXPECT_STREQ(t.text, c.text) << c.line;
    EXPECT_EQ(t.endOfFile, c.eof) << c.line;
  }
}

}  // namespace
