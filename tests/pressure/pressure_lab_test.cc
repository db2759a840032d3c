// End-to-end tests of the command road under pressure: a controller that
// stops reading or reads slowly, a stop by SIGTERM while commands flow, and
// a standard output that nobody reads. Real clients, the daemon binary and
// a simulated controller on a pty, inside the lab sandbox.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"
#include "lab/rig_test.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lab::CountOf;
using lab::WaitUntil;

using lab::ElapsedMs;
using lab::Ms;

constexpr size_t kCommandBytes = 64;  // one client write: 63 characters and a line feed

// Command number `seq` of a port: "p<port>n<seq>" padded with 'y' to 63
// characters, so that any cut or shift shows.
std::string CommandText(int port, int seq) {
  char head[32];
  snprintf(head, sizeof head, "p%dn%06d", port, seq);
  std::string s(head);
  s.resize(kCommandBytes - 1, 'y');
  return s;
}

std::string WireLine(int port, int seq) {
  return "CMD:port E1." + std::to_string(port) + " " + CommandText(port, seq);
}

// Reads the port and number out of a line the controller received; false
// for anything that is not exactly a whole command line of ours.
bool ParseWireLine(const std::string& line, int* port, int* seq) {
  int p = -1, n = -1;
  if (sscanf(line.c_str(), "CMD:port E1.%d p%*dn%d", &p, &n) != 2) return false;
  if (p < 0 || p > 2 || n < 0 || line != WireLine(p, n)) return false;
  *port = p;
  *seq = n;
  return true;
}

// Every complete line must be a whole command line; each port's numbers
// must run 0, 1, 2, ... without a gap or a repeat. `next` receives, per
// port, the number of lines seen.
::testing::AssertionResult InOrderOnce(const std::vector<std::string>& lines,
                                       std::map<int, int>* next) {
  next->clear();
  for (size_t i = 0; i < lines.size(); ++i) {
    int port = 0, seq = 0;
    if (!ParseWireLine(lines[i], &port, &seq)) {
      return ::testing::AssertionFailure()
             << "line " << i << " is not a whole command line: '" << lines[i] << "'";
    }
    int want = (*next)[port];
    if (seq != want) {
      return ::testing::AssertionFailure()
             << "line " << i << ": port " << port << " command " << seq << " where " << want
             << " was due ('" << lines[i] << "')";
    }
    (*next)[port] = want + 1;
  }
  return ::testing::AssertionSuccess();
}

// The bytes that reached the controller, judged as a stop may leave them:
// no carriage return anywhere (the restored cooked settings would add one
// to every line end), every complete line whole and in order once, and
// what follows the last line end only the start of the command line due
// next on some port.
::testing::AssertionResult CleanUpToTheStop(const std::string& wire, std::map<int, int>* next) {
  if (wire.find('\r') != std::string::npos) {
    return ::testing::AssertionFailure()
           << CountOf(wire, "\r") << " carriage returns reached the controller";
  }
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = wire.find('\n'); end != std::string::npos; end = wire.find('\n', start)) {
    lines.push_back(wire.substr(start, end - start));
    start = end + 1;
  }
  ::testing::AssertionResult ok = InOrderOnce(lines, next);
  if (!ok) return ok;
  std::string tail = wire.substr(start);
  if (tail.empty()) return ::testing::AssertionSuccess();
  for (int port = 0; port <= 2; ++port) {
    if (WireLine(port, (*next)[port]).compare(0, tail.size(), tail) == 0) {
      return ::testing::AssertionSuccess();
    }
  }
  return ::testing::AssertionFailure() << "the bytes after the last line end are no command's "
                                       << "start: '" << tail << "'";
}

// Sends numbered commands to one port from a thread of its own,
// `perWrite` of them in each client write, until `count` are sent, Stop()
// is called or the connection fails. A send that the daemon does not take
// blocks: that is the back-pressure these tests look at.
class CommandFeeder {
 public:
  CommandFeeder(lab::PortClient* client, int port, int count, int perWrite)
      : client_(client), port_(port), count_(count), perWrite_(perWrite) {
    thread_ = std::thread([this] { Loop(); });
  }
  ~CommandFeeder() {
    Stop();
    Join(Ms(1000));
  }

  void Stop() { stop_ = true; }
  // Waits for the thread to end; true when it ended by itself within
  // `timeout`. Otherwise its connection is shut down to end it.
  bool Join(std::chrono::milliseconds timeout) {
    if (!thread_.joinable()) return true;
    bool ended = WaitUntil([this] { return done_.load(); }, timeout);
    if (!ended) shutdown(client_->Fd(), SHUT_RDWR);
    thread_.join();
    return ended;
  }
  int Sent() const { return sent_; }
  bool Failed() const { return failed_; }

 private:
  void Loop() {
    std::string block;
    while (!stop_ && sent_ < count_) {
      block.clear();
      int n = std::min(perWrite_, count_ - sent_);
      for (int i = 0; i < n; ++i) block += CommandText(port_, sent_ + i) + "\n";
      if (!client_->Send(block)) {
        failed_ = true;
        break;
      }
      sent_ += n;
    }
    done_ = true;
  }

  lab::PortClient* client_;
  int port_;
  int count_;
  int perWrite_;
  std::atomic<bool> stop_{false};
  std::atomic<int> sent_{0};
  std::atomic<bool> failed_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class PressureLab : public lab::RigTest {
 protected:
  // One two-port controller played by a simulator that never answers, and
  // the daemon (-n finds it, -k keeps the Ethernet pass away). `cookedLine`
  // leaves the tty's own settings as a fresh terminal has them (output
  // processing turns a line feed into CR LF) instead of raw: what the
  // daemon restores at its exit.
  void Start(const std::vector<std::string>& extraArgs, bool cookedLine = false,
             const lab::DaemonOptions& opts = {}) {
    lab::UartSpec uart;
    uart.rawSlave = !cookedLine;
    AddController(lab::kTwoPortPid, uart);
    StartDaemon(extraArgs, opts);
  }

  void StartDaemon(const std::vector<std::string>& extraArgs, const lab::DaemonOptions& opts = {}) {
    std::vector<std::string> args = {"-n", "-k"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    StartServing(args, opts);
  }

  // Connects to the port and proves the port thread serves the client;
  // then forgets what the controller received so far.
  void AttachFresh(int port, lab::PortClient* c) {
    ASSERT_TRUE(Attach(port, c));
    Sim().ClearReceived();
  }
};

// ---------------------------------------------------------------------------
// A controller that reads slowly or not at all: the daemon waits for it,
// and the client feels it.

TEST_F(PressureLab, ControllerThatStopsReadingFor3sGetsEveryCommandWholeOnceInOrder) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  lab::PortClient client;
  ASSERT_NO_FATAL_FAILURE(AttachFresh(0, &client));

  Sim().StopReading();
  CommandFeeder feeder(&client, 0, 2000, 1);
  std::this_thread::sleep_for(3s);
  // The line filled up long ago: the daemon waits in the write, it has not
  // given the rest up.
  EXPECT_LT(Sim().Lines().size(), 2000u);
  Sim().ResumeReading();
  ASSERT_TRUE(Sim().WaitForLines(2000, Ms(20000))) << Sim().Lines().size() << " lines arrived";
  std::this_thread::sleep_for(200ms);

  std::map<int, int> count;
  EXPECT_TRUE(InOrderOnce(Sim().LineTexts(), &count));
  EXPECT_EQ(count[0], 2000);
  EXPECT_EQ(Sim().LineTexts().size(), 2000u);
}

TEST_F(PressureLab, ControllerReading2400BytesASecondGetsEveryBlockOfTwoPorts) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  lab::PortClient c0, c1;
  ASSERT_NO_FATAL_FAILURE(AttachFresh(0, &c0));
  ASSERT_NO_FATAL_FAILURE(AttachFresh(1, &c1));

  Sim().SetReadRate(2400);
  // 16 commands of 64 bytes: each client write is a 1 KB block.
  CommandFeeder f0(&c0, 0, 1 << 30, 16);
  CommandFeeder f1(&c1, 1, 1 << 30, 16);
  std::this_thread::sleep_for(6s);
  f0.Stop();
  f1.Stop();
  size_t slowLines = Sim().Lines().size();
  // The controller reads at its pace; the daemon has not written faster.
  EXPECT_LT(slowLines * (kCommandBytes + 14), 2400u * 8);
  Sim().SetReadRate(0);
  ASSERT_TRUE(f0.Join(Ms(10000)) && f1.Join(Ms(10000))) << "the clients stay blocked";
  ASSERT_FALSE(f0.Failed() || f1.Failed());
  const size_t total = static_cast<size_t>(f0.Sent()) + static_cast<size_t>(f1.Sent());
  ASSERT_GT(total, slowLines) << "the clients never had to wait";
  ASSERT_TRUE(Sim().WaitForLines(total, Ms(30000)))
      << Sim().Lines().size() << " of " << total << " lines arrived";
  std::this_thread::sleep_for(200ms);

  std::map<int, int> count;
  EXPECT_TRUE(InOrderOnce(Sim().LineTexts(), &count));
  EXPECT_EQ(count[0], f0.Sent());
  EXPECT_EQ(count[1], f1.Sent());
  EXPECT_EQ(Sim().LineTexts().size(), total);
}

TEST_F(PressureLab, LongStallIsLoggedOnceAndAgainWhenTheControllerReads) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  lab::PortClient client;
  ASSERT_NO_FATAL_FAILURE(AttachFresh(0, &client));

  Sim().StopReading();
  CommandFeeder feeder(&client, 0, 2000, 1);
  const std::string stalled = "E1_thread: controller ttyACM0 has taken no command for 5 s\n";
  const std::string flowing = "E1_thread: controller ttyACM0 takes commands again\n";
  ASSERT_TRUE(Daemon().WaitForOutput(stalled, Ms(8000))) << Daemon().Output();
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(CountOf(Daemon().Output(), stalled), 1u) << Daemon().Output();
  EXPECT_EQ(CountOf(Daemon().Output(), flowing), 0u) << Daemon().Output();

  Sim().ResumeReading();
  ASSERT_TRUE(Sim().WaitForLines(2000, Ms(10000))) << Sim().Lines().size() << " lines arrived";
  ASSERT_TRUE(Daemon().WaitForOutput(flowing, Ms(2000))) << Daemon().Output();
  std::map<int, int> count;
  EXPECT_TRUE(InOrderOnce(Sim().LineTexts(), &count));
  EXPECT_EQ(count[0], 2000);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(CountOf(Daemon().Output(), stalled), 1u) << Daemon().Output();
  EXPECT_EQ(CountOf(Daemon().Output(), flowing), 1u) << Daemon().Output();
}

TEST_F(PressureLab, RepliesFlowWhileABlockWaitsForTheController) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  lab::PortClient c0, c1;
  ASSERT_NO_FATAL_FAILURE(AttachFresh(0, &c0));
  ASSERT_NO_FATAL_FAILURE(AttachFresh(1, &c1));

  // Port 0's block waits for room in the line; meanwhile port 1's client
  // leaves, and its port thread wants to close it.
  Sim().StopReading();
  CommandFeeder feeder(&c0, 0, 2000, 1);
  std::this_thread::sleep_for(500ms);
  c1.Close();
  std::this_thread::sleep_for(300ms);
  // The controller still answers: its replies must not wait until it reads
  // commands again, or a controller that only reads once its replies are
  // taken would never read again.
  ASSERT_TRUE(Sim().Send("ACK:E1.1:late\n"));
  std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(Sim().Send("ACK:E1.0:answer\n"));
  EXPECT_TRUE(c0.ReadUntil("answer\n", Ms(1000))) << "the reply waited for the controller";

  Sim().ResumeReading();
  ASSERT_TRUE(Sim().WaitForLines(2000, Ms(10000))) << Sim().Lines().size() << " lines arrived";
  std::map<int, int> count;
  EXPECT_TRUE(InOrderOnce(Sim().LineTexts(), &count));
}

TEST_F(PressureLab, AnotherPortTakesANewClientWhileABlockWaitsForTheController) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  lab::PortClient c0, c1;
  ASSERT_NO_FATAL_FAILURE(AttachFresh(0, &c0));
  ASSERT_NO_FATAL_FAILURE(AttachFresh(1, &c1));
  Sim().StopReading();
  CommandFeeder feeder(&c0, 0, 2000, 1);
  std::this_thread::sleep_for(500ms);
  // Port 0's block holds the line; port 1's client leaves and the next one
  // comes: the port hands its client over without waiting for the line.
  c1.Close();
  auto left = std::chrono::steady_clock::now();
  lab::PortClient next;
  ASSERT_TRUE(next.ConnectWithin(PortPath(1), Ms(100))) << "port 1 refused while port 0 waited";
  EXPECT_LT(lab::ElapsedMs(left), 100 * lab::kSlow);
  // Its replies reach it at once, its commands go out once the line flows.
  ASSERT_TRUE(Sim().Send("ACK:E1.1:hello\n"));
  EXPECT_TRUE(next.ReadUntil("hello\n", Ms(1000)));
  ASSERT_TRUE(next.Send("from the next client\n"));
  Sim().ResumeReading();
  EXPECT_TRUE(Sim().WaitForSubstring("CMD:port E1.1 from the next client\n", Ms(10000)));
}

// ---------------------------------------------------------------------------
// SIGTERM while commands flow: once the daemon stops, nothing more reaches
// the controller, nothing twice, and no line end of the restored settings.

class StopUnderLoad : public PressureLab, public ::testing::WithParamInterface<bool> {};

TEST_P(StopUnderLoad, NothingTwiceAndNoByteAfterTheStop) {
  const bool controllerReads = GetParam();
  ASSERT_NO_FATAL_FAILURE(Start({}, /*cookedLine=*/true));
  // A writer caught in the middle of a block is a matter of timing: stop
  // the daemon a few times.
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    if (round > 0) {
      ASSERT_NO_FATAL_FAILURE(StartDaemon({}));
    }
    lab::PortClient c0, c1;
    ASSERT_NO_FATAL_FAILURE(AttachFresh(0, &c0));
    ASSERT_NO_FATAL_FAILURE(AttachFresh(1, &c1));

    CommandFeeder f0(&c0, 0, 1 << 30, 1);
    CommandFeeder f1(&c1, 1, 1 << 30, 1);
    ASSERT_TRUE(Sim().WaitForLines(300, Ms(5000))) << Sim().Lines().size();
    if (!controllerReads) {
      Sim().StopReading();
      std::this_thread::sleep_for(500ms);  // long enough for the line to fill up
    }
    Clock::time_point stop = Clock::now();
    ASSERT_TRUE(Daemon().Signal(SIGTERM));
    EXPECT_EQ(Daemon().WaitExit(Ms(3000)), lab::ExitStatus::Exited(0)) << Daemon().Output();
    EXPECT_LE(ElapsedMs(stop), Ms(1000).count()) << "the stop took too long";
    // The clients find the daemon gone.
    EXPECT_TRUE(f0.Join(Ms(2000)) && f1.Join(Ms(2000)));
    // What was still in the line comes out now, if anything.
    Sim().ResumeReading();
    std::this_thread::sleep_for(300ms);

    std::map<int, int> next;
    EXPECT_TRUE(CleanUpToTheStop(Sim().Received(), &next));
    EXPECT_GT(next[0] + next[1], 300);
    EXPECT_NE(Daemon().Output().find("Abnormal exit, sig = 0000000F\n"), std::string::npos)
        << Daemon().Output();
    Sim().ClearReceived();
  }
}

INSTANTIATE_TEST_SUITE_P(PressureLab, StopUnderLoad, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "ControllerReading" : "ControllerStopped";
                         });

// ---------------------------------------------------------------------------
// Standard output that nobody reads.

// The command numbers of port 0 in the order the daemon logged them.
std::vector<int> LoggedCommandNumbers(const std::string& log) {
  std::vector<int> out;
  const std::string key = "port E1.0 p0n";
  for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1)) {
    out.push_back(atoi(log.c_str() + at + key.size()));
  }
  return out;
}

TEST_F(PressureLab, UnreadStandardOutputHoldsUpNeitherCommandsNorTheStop) {
  lab::DaemonOptions opts;
  opts.outputPaused = true;
  ASSERT_NO_FATAL_FAILURE(Start({"--debugmsg"}, false, opts));
  lab::PortClient client;
  ASSERT_NO_FATAL_FAILURE(AttachFresh(0, &client));

  // Every command logs a line at this level: far more than the pipe holds.
  {
    CommandFeeder feeder(&client, 0, 3000, 1);
    ASSERT_TRUE(Sim().WaitForLines(3000, Ms(10000))) << Sim().Lines().size() << " lines arrived";
  }
  std::map<int, int> count;
  EXPECT_TRUE(InOrderOnce(Sim().LineTexts(), &count));

  // Once the output is read again, the lines that did not fit are counted
  // and the rest comes in the order it was logged.
  Daemon().ResumeOutput();
  ASSERT_TRUE(
      Daemon().WaitForOutput(" log lines dropped while standard output was blocked\n", Ms(3000)))
      << Daemon().Output().substr(0, 2000);
  Daemon().WaitForQuiet(200ms, Ms(3000));
  const std::string log = Daemon().Output();
  size_t at = log.find(" log lines dropped while standard output was blocked\n");
  size_t lineStart = log.rfind('\n', at);
  lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
  EXPECT_GT(atoi(log.c_str() + lineStart), 0) << log.substr(lineStart, at - lineStart);
  std::vector<int> logged = LoggedCommandNumbers(log);
  ASSERT_FALSE(logged.empty());
  for (size_t i = 1; i < logged.size(); ++i) {
    ASSERT_LT(logged[i - 1], logged[i]) << "log order broken at entry " << i;
  }
  EXPECT_LT(logged.size(), 3000u) << "nothing was dropped";

  // Blocked again: commands still flow, and SIGTERM still ends the daemon
  // at once.
  Daemon().PauseOutput();
  Sim().ClearReceived();
  lab::PortClient second;
  ASSERT_TRUE(second.ConnectWithin(PortPath(1), Ms(2000)));
  CommandFeeder feeder(&second, 1, 3000, 1);
  ASSERT_TRUE(Sim().WaitForLines(3000, Ms(10000))) << Sim().Lines().size() << " lines arrived";
  Clock::time_point stop = Clock::now();
  ASSERT_TRUE(Daemon().Signal(SIGTERM));
  EXPECT_EQ(Daemon().WaitExit(Ms(5000)), lab::ExitStatus::Exited(0));
  EXPECT_LE(ElapsedMs(stop), Ms(2000).count()) << "the stop waited for standard output";
}

}  // namespace
