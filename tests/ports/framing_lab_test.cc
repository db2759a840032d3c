// Commands framed by the client's separators, not by the daemon's reads:
// piled-up writes, a command that a full read cut, the quiet time, the
// client's end; and a block sent at start-up never sent twice.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"
#include "lab/port_client.h"
#include "lab/rig_test.h"

namespace {

using lab::CommandLine;
using lab::kOnePortPid;
using lab::kSlow;
using lab::Ms;
using FramingLab = lab::RigTest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Command `i` of a flood: 39 characters and its line feed, so that reads of
// 1024 bytes end inside commands.
std::string FloodCommand(int i) {
  char buf[64];
  snprintf(buf, sizeof buf, "p1n%06dyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy", i);
  return buf;
}

TEST_F(FramingLab, CommandsPiledUpWhileTheControllerStallsArriveWhole) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kOnePortPid, {"-n", "-k"}));
  lab::PortClient c;
  ASSERT_TRUE(Attach(0, &c));
  Sim().ClearReceived();
  Sim().StopReading();
  // Each command in its own write; the daemon waits for the line, so the
  // writes pile up in the socket and each read takes 1024 bytes of them.
  const int kCommands = 2000;
  std::thread client([&] {
    for (int i = 0; i < kCommands; ++i) c.Send(FloodCommand(i) + "\n");
  });
  std::this_thread::sleep_for(1500ms);
  Sim().ResumeReading();
  client.join();
  ASSERT_TRUE(Sim().WaitForLines(kCommands, Ms(10000))) << Sim().LineTexts().size();
  std::this_thread::sleep_for(200ms);
  std::vector<std::string> lines = Sim().LineTexts();
  for (int i = 0; i < kCommands && i < static_cast<int>(lines.size()); ++i) {
    ASSERT_EQ(lines[i] + "\n", CommandLine(0, FloodCommand(i))) << "line " << i;
  }
  EXPECT_EQ(lines.size(), static_cast<size_t>(kCommands)) << lines.back();
}

TEST_F(FramingLab, ATailCutByAFullReadWaitsForItsEndTheQuietTimeOrTheClientsEnd) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kOnePortPid, {"-n", "-k"}));
  lab::PortClient c;
  ASSERT_TRUE(Attach(0, &c));
  // Exactly one full read, its last command unterminated.
  auto fullRead = [](const std::string& tail) {
    std::string text;
    for (int i = 0; text.size() + 8 + tail.size() <= 1024; ++i)
      text += "f" + std::to_string(i % 10) + "....;";
    text += std::string(1024 - text.size() - tail.size() - 1, 'x') + ";" + tail;
    return text;
  };
  std::string first = fullRead("par");
  ASSERT_EQ(first.size(), 1024u);

  // Completed by the next write, before the quiet time is up.
  Sim().ClearReceived();
  ASSERT_TRUE(c.Send(first));
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(c.Send("tial;next\n"));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(0, "next"), Ms(2000))) << Sim().Received();
  std::string wire = Sim().Received();
  EXPECT_NE(wire.find(CommandLine(0, "partial") + CommandLine(0, "next")), std::string::npos)
      << wire;
  EXPECT_EQ(wire.find(CommandLine(0, "par")), std::string::npos) << wire;

  // Nothing follows: sent once the client has been quiet for a while.
  Sim().ClearReceived();
  auto sent = Clock::now();
  ASSERT_TRUE(c.Send(fullRead("quiet")));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(0, "quiet"), Ms(2000 * kSlow)));
  EXPECT_GE(lab::ElapsedMs(sent), 90) << "a tail was sent before the quiet time";
  EXPECT_EQ(Sim().Received().rfind("CMD:"), Sim().Received().find(CommandLine(0, "quiet")));

  // The client ends: its tail is its last command.
  Sim().ClearReceived();
  ASSERT_TRUE(c.Send(fullRead("last")));
  c.Close();
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(0, "last"), Ms(2000))) << Sim().Received();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Sim().Received().find(CommandLine(0, "last")) + CommandLine(0, "last").size(),
            Sim().Received().size());
}

TEST_F(FramingLab, ACommandWrittenInPiecesArrivesWholeOneWithoutSeparatorAtOnce) {
  ASSERT_NO_FATAL_FAILURE(StartOne(kOnePortPid, {"-n", "-k"}));
  lab::PortClient c;
  ASSERT_TRUE(Attach(0, &c));
  Sim().ClearReceived();
  // Short writes in quick succession, each read on its own by the daemon.
  for (const char* piece : {"set ", "line ", "code ", "hdb3;"}) {
    ASSERT_TRUE(c.Send(piece));
    std::this_thread::sleep_for(3ms);
  }
  ASSERT_TRUE(Sim().WaitForLines(1, Ms(2000)));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Sim().Received(), CommandLine(0, "set line code hdb3"));

  // One command without separator: sent as it is, without the long wait.
  Sim().ClearReceived();
  auto sent = Clock::now();
  ASSERT_TRUE(c.Send("status"));
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(0, "status"), Ms(2000)));
  EXPECT_LT(lab::ElapsedMs(sent), 100 * kSlow);
}

TEST_F(FramingLab, ABlockSentWhileTheSerialThreadStartsLateIsSentOnce) {
  AddController(kOnePortPid);
  lab::DaemonOptions late;
  late.path = E1CTLD_LATE_SERIAL_PATH;
  ASSERT_NO_FATAL_FAILURE(StartServing({"-n", "-k", "--debugmsg"}, late));
  lab::PortClient c;
  ASSERT_TRUE(c.ConnectWithin(PortPath(0), Ms(2000)));
  ASSERT_TRUE(c.Send("x;y"));
  ASSERT_TRUE(Sim().WaitForLines(2, Ms(1000))) << Sim().Received();
  // The serial thread was held back, and the block went out before it ran.
  EXPECT_NE(Daemon().Errors().find("late serial thread: held back for 1.5 s\n"), std::string::npos)
      << Daemon().Errors();
  // Well after the serial thread started: the block is still there once.
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(Sim().Received(), CommandLine(0, "x") + CommandLine(0, "y"));
  // The serial thread serves the line all the same.
  ASSERT_TRUE(Sim().Send(lab::AckLine(0, "ok")));
  EXPECT_TRUE(c.ReadUntil("ok\n", Ms(2000))) << c.Buffer();
}

}  // namespace
