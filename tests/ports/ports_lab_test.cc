// End-to-end tests of the command and reply road: real clients on the E1
// port sockets, the daemon binary, and a simulated controller on a pty that
// the daemon opens as /dev/ttyACMn.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"
#include "lab/port_client.h"
#include "lab/rig_test.h"
#include "tests/ports/ports_probes.h"

namespace {

using lab::kOnePortPid;
using lab::kTwoPortPid;
using PortsLab = lab::RigTest;

using lab::CommandLine;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lab::CountOf;

using lab::ElapsedMs;
using lab::kSlow;
using lab::Ms;
using portslab::Pattern;

using lab::AckLine;

// ---------------------------------------------------------------------------
// Commands: client text to "CMD:" lines.

TEST_F(PortsLab, ClientTextIsCutIntoCommandLinesInBlocksOfAtMost32) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kTwoPortPid, {"-n", "-k", "--debugmsg"}));
  lab::PortClient c1;
  ASSERT_TRUE(Attach(1, &c1));

  Sim().ClearReceived();
  ASSERT_TRUE(c1.Send("a;b;;c\r\n"));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(1, "c"), Ms(2000))) << Sim().Received();
  EXPECT_EQ(Sim().Received(), CommandLine(1, "a") + CommandLine(1, "b") + CommandLine(1, "c"));

  // Separators alone: no command, nothing sent, the stored block stays. The
  // client leaves right after, and the socket accepting again proves that
  // the port thread has read the separators. (The next client stays: one
  // that left before being accepted could take a later client's place.)
  Sim().ClearReceived();
  ASSERT_TRUE(c1.Send(";;\r\n;\n\r"));
  c1.Close();
  lab::PortClient c2;
  ASSERT_TRUE(c2.ConnectWithin(PortPath(1), Ms(2000)));
  EXPECT_EQ(Sim().Received(), "");

  // The block kept is still a, b, c: a replay sends exactly it; port 0 never
  // got a block and sends nothing.
  Replug(1);
  ASSERT_TRUE(Sim().WaitForLines(3, Ms(2000))) << Sim().Received();
  ASSERT_TRUE(Daemon().WaitForOutput(
      "Last command block request processed (0 cmds) for E1 thread idx 0\n", Ms(2000)));
  EXPECT_TRUE(Daemon().WaitForOutput(
      "Last command block request processed (3 cmds) for E1 thread idx 1\n", Ms(2000)));
  EXPECT_EQ(Sim().Received(), CommandLine(1, "a") + CommandLine(1, "b") + CommandLine(1, "c"));

  // 40 commands in one write: all of them go out, in order, as a block of
  // 32 and one of 8; the second is the stored block that a replay resends.
  Sim().ClearReceived();
  std::string forty, all40, last8;
  for (int i = 0; i < 40; ++i) {
    forty += "k" + std::to_string(i) + (i % 3 == 0 ? "\r\n" : ";");
    all40 += CommandLine(1, "k" + std::to_string(i));
    if (i >= 32) last8 += CommandLine(1, "k" + std::to_string(i));
  }
  ASSERT_TRUE(c2.Send(forty));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(1, "k39"), Ms(2000))) << Sim().Received();
  EXPECT_EQ(Sim().Received(), all40);
  Sim().ClearReceived();
  Replug(2);
  ASSERT_TRUE(Daemon().WaitForOutput(
      "Last command block request processed (8 cmds) for E1 thread idx 1\n", Ms(2000)));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(1, "k39"), Ms(2000))) << Sim().Received();
  ASSERT_TRUE(c2.Send("after\n"));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(1, "after"), Ms(2000))) << Sim().Received();
  EXPECT_EQ(Sim().Received(), last8 + CommandLine(1, "after"));

  // A command with Ctrl-Z in it is noted in the log and forwarded as it is.
  Sim().ClearReceived();
  ASSERT_TRUE(c2.Send("z\x1az\n"));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(1, "z\x1az"), Ms(2000))) << Sim().Received();
  EXPECT_TRUE(Daemon().WaitForOutput("eof found\r\n", Ms(1000)));
  // The debug log shows the client's bytes escaped, never raw.
  EXPECT_TRUE(Daemon().WaitForOutput("): port E1.1 z\\x1az\n", Ms(1000))) << Daemon().Output();
  EXPECT_EQ(Daemon().Output().find("port E1.1 z\x1az"), std::string::npos);
}

TEST_F(PortsLab, OverlongCommandIsDroppedWholeAndLogged) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kOnePortPid, {"-n", "-k"}));
  lab::PortClient c;
  ASSERT_TRUE(Attach(0, &c));

  // "port E1.0 " is 10 characters: 115 characters of command fit the
  // 126-character line with its line feed; a longer command would be cut
  // and glued to the next line, so it is not sent at all.
  const std::string fits = Pattern(115);
  const std::string full = std::string(116, 'f');
  const std::string longer = Pattern(200);
  Sim().ClearReceived();
  ASSERT_TRUE(c.Send(fits + ";" + full + ";" + longer + "\nnext\n"));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(0, "next"), Ms(2000))) << Sim().Received();
  EXPECT_EQ(Sim().Received(), CommandLine(0, fits) + CommandLine(0, "next"));
  EXPECT_TRUE(Daemon().WaitForOutput(
      "E1_thread: command of 116 characters for E1.0 dropped: too long for a line\n"
      "E1_thread: command of 200 characters for E1.0 dropped: too long for a line\n",
      Ms(1000)))
      << Daemon().Output();
}

TEST_F(PortsLab, PortServesOneClientAtATime) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kOnePortPid, {"-n", "-k"}));
  lab::PortClient first;
  ASSERT_TRUE(Attach(0, &first));

  lab::PortClient second;
  EXPECT_EQ(second.Connect(PortPath(0)), ECONNREFUSED);
  // Still refused a few port turns later, while the first stays.
  std::this_thread::sleep_for(250ms);
  EXPECT_EQ(second.Connect(PortPath(0)), ECONNREFUSED);

  first.Close();
  auto left = Clock::now();
  ASSERT_TRUE(second.ConnectWithin(PortPath(0), Ms(2000)));
  EXPECT_LT(ElapsedMs(left), 1000 * kSlow);

  // The newcomer is served both ways.
  ASSERT_TRUE(second.Send("hello\n"));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(0, "hello"), Ms(2000)));
  ASSERT_TRUE(Sim().Send(AckLine(0, "to-second")));
  EXPECT_EQ(second.ReadLine(Ms(2000)).value_or("<none>"), "to-second\n");
}

// ---------------------------------------------------------------------------
// Replies: "ACK:" lines to the client of the port they name.

TEST_F(PortsLab, RepliesReachOnlyTheClientOfTheNamedPort) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kTwoPortPid, {"-n", "-k", "--debugmsg"}));
  lab::PortClient c0, c1;
  ASSERT_TRUE(Attach(0, &c0));
  ASSERT_TRUE(Attach(1, &c1));

  ASSERT_TRUE(Sim().Send("ACK:E1.1:OK\n"));
  ASSERT_TRUE(Sim().Send("ack:e1:status\n"));
  ASSERT_TRUE(Sim().Send("ACK:hello\n"));
  ASSERT_TRUE(Sim().Send("ACK:E1.?:x\n"));
  ASSERT_TRUE(Sim().Send("STATUS ok\n"));
  ASSERT_TRUE(Sim().Send("ACK:E1.0:E1.?:nobody\n"));  // a later tag overrides
  ASSERT_TRUE(Sim().Send("ACK:E1:E1.1:later-tag\n"));
  ASSERT_TRUE(Sim().Send("ACK:E1.1:carriage\r\n"));
  ASSERT_TRUE(Sim().Send("ACK:E1.2:no-such-port\n"));
  // Markers last: once they arrived, everything before them was routed.
  ASSERT_TRUE(Sim().Send(AckLine(0, "end0") + AckLine(1, "end1")));

  ASSERT_TRUE(c0.ReadUntil("end0\n", Ms(2000))) << c0.Buffer();
  ASSERT_TRUE(c1.ReadUntil("end1\n", Ms(2000))) << c1.Buffer();
  EXPECT_EQ(c0.Buffer(), "status\nend0\n");
  EXPECT_EQ(c1.Buffer(), "OK\nlater-tag\ncarriage\r\nend1\n");
  // Unrouted lines still show in the debug log.
  for (const char* line : {"ACK:hello\n", "ACK:E1.?:x\n", "STATUS ok\n"}) {
    EXPECT_TRUE(Daemon().WaitForOutput(line, Ms(1000))) << line;
  }
}

TEST_F(PortsLab, RepliesAreAssembledFromPiecesAndCutAt511) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kTwoPortPid, {"-n", "-k", "--debugmsg"}));
  lab::PortClient c0, c1;
  ASSERT_TRUE(Attach(0, &c0));
  ASSERT_TRUE(Attach(1, &c1));

  // Three pieces with gaps: nothing is passed on before the line feed, then
  // the line once, whole.
  size_t logMark = Daemon().Output().size();
  ASSERT_TRUE(Sim().Send("ACK:E1"));
  std::this_thread::sleep_for(150ms);
  ASSERT_TRUE(Sim().Send(".1:pie"));
  EXPECT_EQ(c1.ReadDuring(150ms), "");
  ASSERT_TRUE(Sim().Send("ces\n"));
  ASSERT_TRUE(Sim().Send(AckLine(1, "end1")));
  ASSERT_TRUE(c1.ReadUntil("end1\n", Ms(2000))) << c1.Buffer();
  EXPECT_EQ(c1.Buffer(), "pieces\nend1\n");
  ASSERT_TRUE(Daemon().WaitForOutput("ACK:E1.1:end1\n", Ms(1000)));  // the log is that far
  EXPECT_EQ(CountOf(Daemon().Output().substr(logMark), "TTY_loop: partial line arrived"), 2u)
      << Daemon().Output().substr(logMark);

  // Three pieces in one SendPieces run give the same.
  c1.ClearBuffer();
  ASSERT_TRUE(Sim().SendPieces({"ACK:", "E1.1:thr", "ee\n"}, 50ms));
  ASSERT_TRUE(Sim().Send(AckLine(1, "end2")));
  ASSERT_TRUE(c1.ReadUntil("end2\n", Ms(2000))) << c1.Buffer();
  EXPECT_EQ(c1.Buffer(), "three\nend2\n");

  // A 600-character line arriving at once keeps its first 511 characters:
  // the client gets what follows the tag within them, without line end.
  const std::string tag = "ACK:E1.0:";
  const std::string text = Pattern(600 - tag.size());
  ASSERT_TRUE(Sim().Send(tag + text + "\n"));
  ASSERT_TRUE(Sim().Send(AckLine(0, "end0")));
  ASSERT_TRUE(c0.ReadUntil("end0\n", Ms(2000))) << c0.Buffer();
  EXPECT_EQ(c0.Buffer(), text.substr(0, 511 - tag.size()) + "end0\n");
  EXPECT_EQ(c1.Buffer(), "three\nend2\n");  // nothing of it went astray
}

TEST_F(PortsLab, EndOfFileReplyEndsTheConnection) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kOnePortPid, {"-n", "-k"}));
  const std::vector<std::string> endings = {"ACK:E1.0:EOF\n", "ACK:E1.0:\x1a\n",
                                            "ack:e1:eof-lower\n"};
  for (const std::string& ending : endings) {
    SCOPED_TRACE(ending);
    lab::PortClient c;
    ASSERT_TRUE(Attach(0, &c));
    // Look-alikes that end nothing: not quite EOF, and EOF without a port.
    ASSERT_TRUE(Sim().Send("ACK:E1.0:EO\nACK:E1.?:EOF\nACK:EOF\n"));
    ASSERT_TRUE(c.ReadUntil("EO\n", Ms(2000)));
    EXPECT_FALSE(c.SawEof());

    ASSERT_TRUE(Sim().Send(ending));
    EXPECT_TRUE(c.WaitForEof(Ms(2000)));
    EXPECT_EQ(c.Buffer(), "EO\n");

    // The port takes a new client soon after, which is served both ways.
    lab::PortClient next;
    auto ended = Clock::now();
    ASSERT_TRUE(Attach(0, &next));
    EXPECT_LT(ElapsedMs(ended), 1000 * kSlow);
    ASSERT_TRUE(Sim().Send(AckLine(0, "after")));
    EXPECT_EQ(next.ReadLine(Ms(2000)).value_or("<none>"), "after\n");
  }
}

// ---------------------------------------------------------------------------
// Replays after the controller was lost and came back.

// The lines received since `from` must be the given blocks, each once,
// each contiguous (in any order of blocks).
void ExpectBlocksOnce(const std::vector<lab::ReceivedLine>& lines, size_t from,
                      const std::vector<std::vector<std::string>>& blocks) {
  std::vector<std::string> got;
  for (size_t i = from; i < lines.size(); ++i) got.push_back(lines[i].text);
  std::vector<std::string> order1, order2;
  for (const auto& b : blocks) order1.insert(order1.end(), b.begin(), b.end());
  for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
    order2.insert(order2.end(), it->begin(), it->end());
  }
  EXPECT_TRUE(got == order1 || got == order2) << ::testing::PrintToString(got);
}

TEST_F(PortsLab, ReplugReplaysEveryPortsLastBlock) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kTwoPortPid, {"-n", "-k", "--debugmsg"}));
  lab::PortClient c0, c1;
  ASSERT_TRUE(Attach(0, &c0));
  ASSERT_TRUE(Attach(1, &c1));
  ASSERT_TRUE(c0.Send("p0a;p0b;p0c\n"));
  ASSERT_TRUE(c1.Send("p1a;p1b\n"));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(0, "p0c"), Ms(2000)));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(1, "p1b"), Ms(2000)));
  c0.Close();  // port 0 replays without a client, port 1 with one

  size_t logMark = Daemon().Output().size();
  Sim().ClearReceived();
  auto replug = Replug(1);
  ASSERT_TRUE(Sim().WaitForLines(5, Ms(2000))) << Sim().Received();
  std::vector<lab::ReceivedLine> lines = Sim().Lines();
  EXPECT_LT(ElapsedMs(replug, lines.back().at), 1000 * kSlow);
  ExpectBlocksOnce(lines, 0,
                   {{"CMD:port E1.0 p0a", "CMD:port E1.0 p0b", "CMD:port E1.0 p0c"},
                    {"CMD:port E1.1 p1a", "CMD:port E1.1 p1b"}});

  ASSERT_TRUE(Daemon().WaitForOutput(
      "Last command block request processed (3 cmds) for E1 thread idx 0\n", Ms(1000)));
  ASSERT_TRUE(Daemon().WaitForOutput(
      "Last command block request processed (2 cmds) for E1 thread idx 1\n", Ms(1000)));
  std::string log = Daemon().Output().substr(logMark);
  EXPECT_NE(log.find("TTY_loop: reports: POLLHUP"), std::string::npos) << log;
  EXPECT_NE(log.find("TTY port filename found: ttyACM1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("TTY_thread: E1 thread idx 0 flagged for repeat last command.\n"),
            std::string::npos);
  EXPECT_NE(log.find("TTY_thread: E1 thread idx 1 flagged for repeat last command.\n"),
            std::string::npos);

  // The reopened line carries replies and commands as before.
  ASSERT_TRUE(Sim().Send(AckLine(1, "back")));
  EXPECT_EQ(c1.ReadLine(Ms(2000)).value_or("<none>"), "back\n");
  ASSERT_TRUE(c1.Send("again\n"));
  EXPECT_TRUE(Sim().WaitForSubstring(CommandLine(1, "again"), Ms(2000)));
}

TEST_F(PortsLab, TwentyReplugsInARowLoseNoBlock) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kTwoPortPid, {"-n", "-k"}));
  lab::PortClient c0, c1;
  ASSERT_TRUE(Attach(0, &c0));
  ASSERT_TRUE(Attach(1, &c1));
  ASSERT_TRUE(c0.Send("zero-a;zero-b;zero-c;zero-d\n"));
  ASSERT_TRUE(c1.Send("one-a;one-b;one-c\n"));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(0, "zero-d"), Ms(2000)));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(1, "one-c"), Ms(2000)));
  const std::vector<std::vector<std::string>> blocks = {
      {"CMD:port E1.0 zero-a", "CMD:port E1.0 zero-b", "CMD:port E1.0 zero-c",
       "CMD:port E1.0 zero-d"},
      {"CMD:port E1.1 one-a", "CMD:port E1.1 one-b", "CMD:port E1.1 one-c"}};

  Sim().ClearReceived();
  long slowest = 0;
  for (int cycle = 0; cycle < 20; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    size_t before = Sim().Lines().size();
    auto replug = Replug(cycle + 1);
    ASSERT_TRUE(Sim().WaitForLines(before + 7, Ms(2000))) << Sim().Received();
    std::vector<lab::ReceivedLine> lines = Sim().Lines();
    slowest = std::max(slowest, ElapsedMs(replug, lines[before + 6].at));
    ExpectBlocksOnce(std::vector<lab::ReceivedLine>(lines.begin(), lines.begin() + before + 7),
                     before, blocks);
  }
  EXPECT_LT(slowest, 1000 * kSlow);
  // No late duplicate of any block after the last cycle.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Sim().Lines().size(), 20u * 7u);
}

}  // namespace
