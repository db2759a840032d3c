#include "ports/command_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

struct Seen {
  Strings cmds;
  std::vector<size_t> lens;
};

void Collect(void* ctx, const char* text, size_t len) {
  Seen* s = static_cast<Seen*>(ctx);
  size_t kept = len < kFramerTailChars ? len : kFramerTailChars;
  s->cmds.emplace_back(text, kept);
  s->lens.push_back(len);
}

// Feeds `reads` one after another, then sends what is kept, as the port
// thread does once the client is quiet or ends.
Seen Frame(const Strings& reads) {
  Seen s;
  CommandFramer f;
  InitCommandFramer(&f);
  for (const std::string& r : reads) FrameRead(&f, r.data(), r.size(), Collect, &s);
  FlushTail(&f, Collect, &s);
  return s;
}

TEST(CommandFramer, ACommandSplitAtAnyByteAcrossTwoReadsArrivesWhole) {
  const std::string longOne(115, 'L');
  const std::string text = "alpha;beta\r\ngamma\n;;" + longOne + "\r\ndelta";
  const Strings whole = {"alpha", "beta", "gamma", longOne, "delta"};
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    EXPECT_EQ(Frame({text.substr(0, cut), text.substr(cut)}).cmds, whole) << "cut after " << cut;
  }
  // In three reads, with the middle one holding only separators or nothing.
  EXPECT_EQ(Frame({"alp", ";\r\n", "ha;x"}).cmds, (Strings{"alp", "ha", "x"}));
  EXPECT_EQ(Frame({"alp", "", "ha;x"}).cmds, (Strings{"alpha", "x"}));
}

TEST(CommandFramer, ATailWaitsForItsSeparatorOrTheFlush) {
  CommandFramer f;
  InitCommandFramer(&f);
  Seen kept;
  FrameRead(&f, "a;part", 6, Collect, &kept);
  EXPECT_EQ(kept.cmds, (Strings{"a"}));
  EXPECT_TRUE(HasTail(&f));
  // Completed by the next read.
  FrameRead(&f, "ial;b", 5, Collect, &kept);
  EXPECT_EQ(kept.cmds, (Strings{"a", "partial"}));
  // Still kept: the client's quiet or its end sends it.
  EXPECT_TRUE(HasTail(&f));
  FlushTail(&f, Collect, &kept);
  EXPECT_EQ(kept.cmds, (Strings{"a", "partial", "b"}));
  EXPECT_FALSE(HasTail(&f));
  FlushTail(&f, Collect, &kept);  // nothing kept, nothing sent
  EXPECT_EQ(kept.cmds.size(), 3u);
  // A command without any separator, alone.
  EXPECT_EQ(Frame({"status"}).cmds, (Strings{"status"}));
  EXPECT_TRUE(Frame({";;\r\n", "\n"}).cmds.empty());
}

TEST(CommandFramer, ManyCommandsInOneReadComeOutInOrderNoneDropped) {
  for (int count : {33, 64, 200}) {
    std::string text;
    Strings want;
    for (int i = 0; i < count; ++i) {
      want.push_back("c" + std::to_string(i));
      text += want.back() + (i % 3 == 0 ? ";" : i % 3 == 1 ? "\r\n" : "\n");
    }
    EXPECT_EQ(Frame({text}).cmds, want) << count << " commands";
  }
}

TEST(CommandFramer, AnOverlongTailKeepsItsLengthAndItsFirstCharacters) {
  std::string huge(300, 'h');
  huge[0] = 'H';
  Seen s = Frame({huge.substr(0, 100), huge.substr(100, 150), huge.substr(250) + ";ok"});
  ASSERT_EQ(s.cmds.size(), 2u);
  EXPECT_EQ(s.lens[0], 300u);
  EXPECT_EQ(s.cmds[0], huge.substr(0, kFramerTailChars));
  EXPECT_EQ(s.cmds[1], "ok");
  // Ended without separator, it is still reported at its full length.
  s = Frame({huge.substr(0, 200), huge.substr(200)});
  ASSERT_EQ(s.lens.size(), 1u);
  EXPECT_EQ(s.lens[0], 300u);
}

}  // namespace
