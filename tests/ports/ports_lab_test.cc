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

std::string Ack(int port, const std::string& text) {
  return "ACK:E1." + std::to_string(port) + ":" + text + "\n";
}

// Text that shows where it was cut: "0123456789" repeated, with the decade
// marked by a letter, so that a shifted or shortened copy never compares equal.
std::string Pattern(size_t len) {
  std::string s;
  for (size_t i = 0; i < len; ++i) {
    s += (i % 10 == 0) ? static_cast<char>('A' + (i / 10) % 26) : static_cast<char>('0' + i % 10);
  }
  return s;
}

// CPU time (user + system) the process has used, in clock ticks.
long CpuTicks(pid_t pid) {
  std::string stat = lab::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  // Fields after the command name start at 3 (state); utime is 14, stime 15.
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

// ---------------------------------------------------------------------------
// Commands: client text to "CMD:" lines.

TEST_F(PortsLab, ClientTextIsCutIntoCommandLinesOfOneBlock) {
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

  // 40 commands in one write: the first 32 go out, the other 8 nowhere. The
  // block is written at once, so the command after it bounds the check.
  Sim().ClearReceived();
  std::string forty, first32;
  for (int i = 0; i < 40; ++i) {
    forty += "k" + std::to_string(i) + (i % 3 == 0 ? "\r\n" : ";");
    if (i < 32) first32 += CommandLine(1, "k" + std::to_string(i));
  }
  ASSERT_TRUE(c2.Send(forty));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(1, "k31"), Ms(2000))) << Sim().Received();
  ASSERT_TRUE(c2.Send("after\n"));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(1, "after"), Ms(2000))) << Sim().Received();
  EXPECT_EQ(Sim().Received(), first32 + CommandLine(1, "after"));

  // A command with Ctrl-Z in it is noted in the log and forwarded as it is.
  Sim().ClearReceived();
  ASSERT_TRUE(c2.Send("z\x1az\n"));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(1, "z\x1az"), Ms(2000))) << Sim().Received();
  EXPECT_TRUE(Daemon().WaitForOutput("eof found\r\n", Ms(1000)));
}

TEST_F(PortsLab, OverlongCommandIsCutAndLosesItsLineEnd) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kOnePortPid, {"-n", "-k"}));
  lab::PortClient c;
  ASSERT_TRUE(Attach(0, &c));

  // "port E1.0 " is 10 characters: 115 characters of command still fit with
  // the line feed, 116 fill the 126-character line without it, longer ones
  // are cut to 116.
  const std::string fits = Pattern(115);
  const std::string full = std::string(116, 'f');
  const std::string longer = Pattern(200);
  Sim().ClearReceived();
  ASSERT_TRUE(c.Send(fits + ";" + full + ";" + longer + "\n"));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(0, fits), Ms(2000))) << Sim().Received();
  // The unterminated lines wait in the line-buffered stream.
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Sim().Received(), CommandLine(0, fits));

  // The next line written to the UART carries them out.
  ASSERT_TRUE(c.Send("next\n"));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(0, "next"), Ms(2000))) << Sim().Received();
  EXPECT_EQ(Sim().Received(), CommandLine(0, fits) + "CMD:port E1.0 " + full + "CMD:port E1.0 " +
                                  longer.substr(0, 116) + CommandLine(0, "next"));
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
  ASSERT_TRUE(Sim().Send(Ack(0, "to-second")));
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
  ASSERT_TRUE(Sim().Send(Ack(0, "end0") + Ack(1, "end1")));

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
  ASSERT_TRUE(Sim().Send(Ack(1, "end1")));
  ASSERT_TRUE(c1.ReadUntil("end1\n", Ms(2000))) << c1.Buffer();
  EXPECT_EQ(c1.Buffer(), "pieces\nend1\n");
  ASSERT_TRUE(Daemon().WaitForOutput("ACK:E1.1:end1\n", Ms(1000)));  // the log is that far
  EXPECT_EQ(CountOf(Daemon().Output().substr(logMark), "TTY_loop: partial line arrived"), 2u)
      << Daemon().Output().substr(logMark);

  // Three pieces in one SendPieces run give the same.
  c1.ClearBuffer();
  ASSERT_TRUE(Sim().SendPieces({"ACK:", "E1.1:thr", "ee\n"}, 50ms));
  ASSERT_TRUE(Sim().Send(Ack(1, "end2")));
  ASSERT_TRUE(c1.ReadUntil("end2\n", Ms(2000))) << c1.Buffer();
  EXPECT_EQ(c1.Buffer(), "three\nend2\n");

  // A 600-character line arriving at once keeps its first 511 characters:
  // the client gets what follows the tag within them, without line end.
  const std::string tag = "ACK:E1.0:";
  const std::string text = Pattern(600 - tag.size());
  ASSERT_TRUE(Sim().Send(tag + text + "\n"));
  ASSERT_TRUE(Sim().Send(Ack(0, "end0")));
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
    ASSERT_TRUE(Sim().Send(Ack(0, "after")));
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
  ASSERT_TRUE(Sim().Send(Ack(1, "back")));
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

// ---------------------------------------------------------------------------
// Mends: reply routing against client churn, stalled and half-closed clients.

// Complete lines must read "p<port>-<seq>"; a trailing fragment (the client
// stopped reading mid-line) must be the start of such a line.
void CheckOwnLines(const std::string& buf, int port, std::vector<std::string>* bad, int* lines) {
  const std::string prefix = "p" + std::to_string(port) + "-";
  size_t start = 0;
  for (;;) {
    size_t end = buf.find('\n', start);
    std::string line =
        buf.substr(start, end == std::string::npos ? std::string::npos : end - start);
    bool ok;
    if (end == std::string::npos) {
      size_t n = std::min(line.size(), prefix.size());
      ok = line.compare(0, n, prefix, 0, n) == 0 &&
           line.find_first_not_of("0123456789", n) == std::string::npos;
    } else {
      ok = line.size() > prefix.size() && line.compare(0, prefix.size(), prefix) == 0 &&
           line.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
      ++*lines;
    }
    if (!ok && bad->size() < 10) bad->push_back(line);
    if (end == std::string::npos) return;
    start = end + 1;
  }
}

TEST_F(PortsLab, ChurningClientsGetOnlyTheirOwnPortsReplies) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kTwoPortPid, {"-n", "-k"}));
  lab::PortClient aux;
  ASSERT_TRUE(aux.ConnectWithin(AuxPath(), Ms(2000)));

  std::atomic<bool> stop{false};
  std::thread flood([&] {
    for (long seq = 0; !stop; seq += 20) {
      std::string batch;
      for (long i = seq; i < seq + 20; ++i) {
        int port = static_cast<int>(i % 2);
        batch += Ack(port, "p" + std::to_string(port) + "-" + std::to_string(i));
      }
      Sim().Send(batch);
      std::this_thread::sleep_for(1ms);
    }
  });

  struct Tally {
    int connections = 0;
    int stalledLeaves = 0;
    int lines = 0;
    std::vector<std::string> bad;
  };
  Tally tally[2];
  std::atomic<int> noUrgent{0};
  auto end = Clock::now() + 4s;
  std::vector<std::thread> churn;
  churn.reserve(2);
  for (int port = 0; port < 2; ++port) {
    churn.emplace_back([&, port] {
      Tally& t = tally[port];
      for (int round = 0; Clock::now() < end; ++round) {
        lab::PortClient c;
        if (!c.ConnectWithin(PortPath(port), 2s)) continue;
        ++t.connections;
        c.Send("churn" + std::to_string(round) + "\n");
        c.ReadUntil("\n", 1s);  // served from here on
        switch (round % 3) {
          case 0:  // reads a little and leaves at any point of the flow
            c.ReadDuring(std::chrono::milliseconds(round % 7));
            break;
          case 1:
            // Stops reading until the flood has filled its socket, so that a
            // reply to it waits for room, then sends urgent data: the port
            // thread closes the connection while that reply may still wait,
            // and the descriptor number is free for the next socket.
            std::this_thread::sleep_for(300ms);
            if (!c.SendUrgent('!')) {
              ++noUrgent;
              break;
            }
            if (c.WaitForEof(Ms(5000))) ++t.stalledLeaves;
            break;
          default:  // half-closes, reads a little, leaves
            c.ShutdownWrite();
            c.ReadDuring(std::chrono::milliseconds(1 + round % 5));
        }
        CheckOwnLines(c.Buffer(), port, &t.bad, &t.lines);
      }
    });
  }
  for (std::thread& t : churn) t.join();
  stop = true;
  flood.join();

  for (int port = 0; port < 2; ++port) {
    SCOPED_TRACE("port " + std::to_string(port));
    EXPECT_TRUE(tally[port].bad.empty()) << ::testing::PrintToString(tally[port].bad);
    EXPECT_GT(tally[port].connections, 10);
    EXPECT_GT(tally[port].lines, 100);  // the check saw real traffic
    if (noUrgent == 0) {
      EXPECT_GT(tally[port].stalledLeaves, 0);
    }
  }
  if (noUrgent > 0)
    std::cerr << "note: no urgent data on UNIX sockets here; stalled leaves untried\n";
  EXPECT_EQ(aux.ReadDuring(200ms), "");
  EXPECT_FALSE(aux.SawEof());
  // A reply may fail on a client that has just gone (EPIPE, ECONNRESET) or
  // that does not read (EAGAIN), never on a descriptor that was closed
  // (EBADF) or reused by a listening or other socket (ENOTCONN, ENOTSOCK...).
  Daemon().WaitForQuiet(Ms(300), Ms(3000));
  std::string log = Daemon().Output();
  const std::string what = "TTY_loop: write error (errno=";
  for (size_t pos = log.find(what); pos != std::string::npos; pos = log.find(what, pos + 1)) {
    int err = std::atoi(log.c_str() + pos + what.size());
    EXPECT_TRUE(err == EPIPE || err == ECONNRESET || err == EAGAIN)
        << log.substr(pos, log.find('\n', pos) - pos);
  }
  // The daemon still serves both ports.
  lab::PortClient c0;
  EXPECT_TRUE(Attach(0, &c0));
}

TEST_F(PortsLab, StalledClientDoesNotHoldUpTheOtherPort) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kTwoPortPid, {"-n", "-k"}));  // level 4 is shown by default
  lab::PortClient stalled, live;
  ASSERT_TRUE(Attach(0, &stalled));  // and never read from it until the end
  ASSERT_TRUE(Attach(1, &live));

  std::atomic<bool> stop{false};
  std::thread flood([&] {
    const std::string pad = std::string(80, 's');
    for (long seq = 0; !stop; seq += 10) {
      std::string batch;
      for (long i = seq; i < seq + 10; ++i) batch += Ack(0, "s" + std::to_string(i) + pad);
      Sim().Send(batch);
      std::this_thread::sleep_for(2ms);
    }
  });

  long worstReply = 0, worstCommand = 0;
  int probes = 0;
  auto end = Clock::now() + 3s;
  for (int i = 0; Clock::now() < end; ++i, ++probes) {
    std::string probe = "probe" + std::to_string(i);
    auto sent = Clock::now();
    Sim().Send(Ack(1, probe));
    if (!live.ReadUntil(probe + "\n", Ms(10000))) {
      ADD_FAILURE() << probe << " never reached port 1";
      break;
    }
    worstReply = std::max(worstReply, ElapsedMs(sent));
    if (i % 4 == 0) {
      std::string cmd = "cmd" + std::to_string(i);
      sent = Clock::now();
      ASSERT_TRUE(live.Send(cmd + "\n"));
      EXPECT_TRUE(Sim().WaitForSubstring(CommandLine(1, cmd), Ms(2000))) << cmd;
      worstCommand = std::max(worstCommand, ElapsedMs(sent));
    }
    std::this_thread::sleep_for(50ms);
  }
  stop = true;
  flood.join();

  EXPECT_GE(probes, 10);
  // A reply for port 1 waits at most for one reply that times out on the
  // stalled client (about a second).
  EXPECT_LT(worstReply, 2000 * kSlow);
  EXPECT_LT(worstCommand, 1000 * kSlow);
  EXPECT_TRUE(Daemon().WaitForOutput(
      "TTY_loop: write error (errno=11): Resource temporarily unavailable\n", Ms(2000)))
      << Daemon().Output().substr(0, 2000);
  EXPECT_EQ(live.Buffer().find('s'), std::string::npos) << "port 0 replies reached port 1";

  // Once it reads again, the stalled client gets whole port-0 lines and new
  // replies again.
  stalled.ReadDuring(Ms(300));
  ASSERT_TRUE(Sim().Send(Ack(0, "s-after-the-stall")));
  EXPECT_TRUE(stalled.ReadUntil("s-after-the-stall\n", Ms(3000)));
  std::istringstream lines(stalled.Buffer());
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    ASSERT_EQ(line.rfind('s', 0), 0u) << "line " << count << ": " << line;
  }
  EXPECT_GT(count, 100);
}

TEST_F(PortsLab, HalfClosedClientKeepsItsRepliesAndThePortReplays) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kOnePortPid, {"-n", "-k"}));
  lab::PortClient c;
  ASSERT_TRUE(Attach(0, &c));
  ASSERT_TRUE(c.Send("hc1;hc2\n"));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(0, "hc2"), Ms(2000)));
  ASSERT_TRUE(c.ShutdownWrite());

  ASSERT_TRUE(Sim().Send(Ack(0, "still-here")));
  EXPECT_EQ(c.ReadLine(Ms(2000)).value_or("<none>"), "still-here\n");

  // The port thread does not spin on the endless end of file.
  long cpuBefore = CpuTicks(Daemon().Pid());
  std::this_thread::sleep_for(1s);
  long cpuUsed = CpuTicks(Daemon().Pid()) - cpuBefore;
  EXPECT_LT(cpuUsed, sysconf(_SC_CLK_TCK) / 4) << "daemon busy while idle";

  // Replays are still served while the half-closed client stays.
  Sim().ClearReceived();
  auto replug = Replug(1);
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(0, "hc1") + CommandLine(0, "hc2"), Ms(2000)))
      << Sim().Received();
  EXPECT_LT(ElapsedMs(replug), 1000 * kSlow);
  ASSERT_TRUE(Sim().Send(Ack(0, "after-replay")));
  EXPECT_EQ(c.ReadLine(Ms(2000)).value_or("<none>"), "after-replay\n");
  EXPECT_FALSE(c.SawEof());

  // Once it closes for good, the socket takes a new client.
  c.Close();
  lab::PortClient next;
  EXPECT_TRUE(Attach(0, &next));
}

TEST_F(PortsLab, UrgentDataEndsTheConnectionWithoutHangingTheDaemon) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kOnePortPid, {"-n", "-k", "--debugmsg"}));
  lab::PortClient c;
  ASSERT_TRUE(Attach(0, &c));
  if (!c.SendUrgent('!')) {
    GTEST_SKIP() << "no urgent data on UNIX sockets here: " << strerror(errno);
  }
  // Urgent data shows as POLLPRI (with POLLIN, but nothing a read returns):
  // the port thread closes the client and takes the next one.
  EXPECT_TRUE(c.WaitForEof(Ms(2000)));
  EXPECT_TRUE(Daemon().WaitForOutput("E1_thread: reports POLLPRI\n", Ms(1000)));
  lab::PortClient next;
  ASSERT_TRUE(Attach(0, &next));
  ASSERT_TRUE(Sim().Send(Ack(0, "next")));
  EXPECT_EQ(next.ReadLine(Ms(2000)).value_or("<none>"), "next\n");

  // The same on the auxiliary socket: the main loop closes that client and
  // goes on, so a termination signal still ends the daemon.
  lab::PortClient aux;
  ASSERT_TRUE(aux.ConnectWithin(AuxPath(), Ms(2000)));
  ASSERT_TRUE(aux.Send("hello\n"));
  ASSERT_TRUE(Daemon().WaitForOutput("DATA arrived\n", Ms(2000)));
  ASSERT_TRUE(aux.SendUrgent('!'));
  EXPECT_TRUE(aux.WaitForEof(Ms(2000)));
  ASSERT_TRUE(Daemon().Signal(SIGTERM));
  EXPECT_EQ(Daemon().WaitExit(Ms(3000)), lab::ExitStatus::Exited(0));
}

}  // namespace
