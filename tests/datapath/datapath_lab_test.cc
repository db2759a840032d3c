// End-to-end tests of the data path under pressure and at rest: a client
// that reads slowly while the controller floods it, lines that follow an
// end-of-file reply, a daemon whose descriptors lie above 1023, and a
// daemon that sleeps while nothing happens.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

using lab::ElapsedMs;
using lab::kSlow;
using lab::Ms;

using lab::AckLine;
using lab::CommandLine;

// Context switches (voluntary and not) of each of the daemon's threads, by
// thread id. Each one is a wake-up of a sleeping or preempted thread.
std::map<std::string, long> SwitchesByThread(pid_t pid) {
  std::map<std::string, long> out;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  for (const std::string& tid : lab::ListDirectory(dir)) {
    std::string status = lab::ReadFile(dir + "/" + tid + "/status");
    long n = 0;
    for (const char* key : {"\nvoluntary_ctxt_switches:", "\nnonvoluntary_ctxt_switches:"}) {
      size_t at = status.find(key);
      if (at != std::string::npos) n += std::atol(status.c_str() + at + strlen(key));
    }
    out[tid] = n;
  }
  return out;
}

// One two-port controller; the test waits until both port sockets and the
// auxiliary socket exist.
class DataPathLab : public lab::RigTest {
 protected:
  void Start(bool debug) {
    std::vector<std::string> args = {"-n", "-k"};
    if (debug) args.push_back("--debugmsg");
    StartOne(lab::kTwoPortPid, args);
  }
};

// The flood's port-0 lines: "f<seq>-" and a pad, numbered from 0.
std::string FloodLine(long seq) {
  return "f" + std::to_string(seq) + "-" + std::string(90, 'x');
}

// What the slow client got must be flood lines, whole, in increasing order
// (lines dropped in between are fine); a last piece without line feed must
// be the start of the next such line. Returns the number of whole lines.
long CheckFloodLines(const std::string& got, std::vector<std::string>* bad) {
  long lines = 0, last = -1;
  size_t start = 0;
  while (start < got.size()) {
    size_t end = got.find('\n', start);
    std::string line =
        got.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (end == std::string::npos) {
      // The start of a line: "f", digits, "-", pad characters.
      size_t dash = line.find('-');
      bool ok = line[0] == 'f' &&
                line.find_first_not_of("0123456789", 1) ==
                    (dash == std::string::npos ? line.npos : dash) &&
                (dash == std::string::npos || line.find_first_not_of('x', dash + 1) == line.npos);
      if (!ok) bad->push_back("fragment " + line);
      break;
    }
    long seq = line.size() > 1 && line[0] == 'f' ? std::atol(line.c_str() + 1) : -1;
    if (seq <= last || line != FloodLine(seq)) bad->push_back(line);
    last = std::max(last, seq);
    ++lines;
    start = end + 1;
  }
  return lines;
}

// A client that takes 2 KB every 0.9 s while the controller floods its
// port must not delay the replies of the other port: the serial thread
// never waits for a client.
TEST_F(DataPathLab, SlowReaderDoesNotDelayTheOtherPortsReplies) {
  ASSERT_NO_FATAL_FAILURE(Start(false));  // level 4: drops are logged
  lab::PortClient slow, live;
  ASSERT_TRUE(Attach(0, &slow));
  ASSERT_TRUE(Attach(1, &live));

  std::atomic<bool> stop{false};
  std::thread flood([&] {
    for (long seq = 0; !stop;) {
      std::string batch;
      for (int i = 0; i < 10; ++i, ++seq) batch += AckLine(0, FloodLine(seq));
      Sim().Send(batch);
      std::this_thread::sleep_for(5ms);
    }
  });
  std::string slowGot;
  std::thread reader([&] {
    char buf[2048];
    while (!stop) {
      for (int i = 0; i < 18 && !stop; ++i) std::this_thread::sleep_for(50ms);
      ssize_t n = recv(slow.Fd(), buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) slowGot.append(buf, static_cast<size_t>(n));
    }
  });

  // A port-1 reply every 50 ms for 6 s, timed from the controller's send
  // to the client's read.
  std::vector<long> latency;
  auto end = Clock::now() + 6s;
  for (int i = 0; Clock::now() < end; ++i) {
    std::string probe = "probe" + std::to_string(i);
    auto sent = Clock::now();
    ASSERT_TRUE(Sim().Send(AckLine(1, probe)));
    if (!live.ReadUntil(probe + "\n", 5000ms)) {
      ADD_FAILURE() << probe << " never reached port 1";
      break;
    }
    latency.push_back(ElapsedMs(sent));
    std::this_thread::sleep_for(50ms);
  }
  stop = true;
  flood.join();
  reader.join();

  ASSERT_GE(latency.size(), 40u);
  std::sort(latency.begin(), latency.end());
  long p90 = latency[latency.size() * 9 / 10];
  RecordProperty("port1_p90_ms", static_cast<int>(p90));
  RecordProperty("port1_worst_ms", static_cast<int>(latency.back()));
  EXPECT_LT(p90, 200 * kSlow) << "port-1 replies: p90 " << p90 << " ms, worst " << latency.back();
  EXPECT_LT(latency.back(), 500 * kSlow) << "port-1 replies: worst " << latency.back() << " ms";
  EXPECT_EQ(live.Buffer().find('f'), std::string::npos) << "port-0 lines reached port 1";

  // The slow client's queue overflowed: whole lines were dropped, and that
  // was logged; what it got are whole lines in order.
  EXPECT_TRUE(Daemon().WaitForOutput(
      "TTY_loop: write error (errno=11): Resource temporarily unavailable\n", Ms(1000)));
  std::vector<std::string> bad;
  long lines = CheckFloodLines(slowGot, &bad);
  RecordProperty("slow_client_lines", static_cast<int>(lines));
  EXPECT_GT(lines, 50);
  EXPECT_TRUE(bad.empty()) << bad.size() << " bad, first: " << bad.front();
}

// After a port's end-of-file reply its later lines, in the same burst or
// after it, reach nobody and log nothing until a new client is accepted;
// the other port's lines of the burst go out at once.
TEST_F(DataPathLab, LinesAfterAnEndOfFileReplyReachNobody) {
  ASSERT_NO_FATAL_FAILURE(Start(false));  // level 4: a write error would show
  lab::PortClient c1;
  ASSERT_TRUE(Attach(1, &c1));
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    lab::PortClient c0;
    ASSERT_TRUE(Attach(0, &c0));
    std::string r = std::to_string(round);
    ASSERT_TRUE(Sim().Send(AckLine(0, "before" + r) + AckLine(1, "one" + r) + AckLine(0, "EOF") +
                           AckLine(0, "after-eof" + r) + AckLine(1, "two" + r) +
                           AckLine(0,
                                   "\x1a"
                                   "again") +
                           AckLine(0, "last" + r)));
    EXPECT_TRUE(c0.WaitForEof(Ms(2000)));
    EXPECT_EQ(c0.Buffer(), "before" + r + "\n");
    ASSERT_TRUE(c1.ReadUntil("two" + r + "\n", Ms(2000))) << c1.Buffer();
    EXPECT_EQ(c1.Buffer(), "one" + r + "\ntwo" + r + "\n");
    c1.ClearBuffer();

    // Still nobody's, until the next client of port 0 is accepted.
    ASSERT_TRUE(Sim().Send(AckLine(0, "nobody" + r) + AckLine(1, "three" + r)));
    ASSERT_TRUE(c1.ReadUntil("three" + r + "\n", Ms(2000)));
    EXPECT_EQ(c1.Buffer(), "three" + r + "\n");
    c1.ClearBuffer();

    lab::PortClient next;
    ASSERT_TRUE(Attach(0, &next));
    ASSERT_TRUE(Sim().Send(AckLine(0, "for-next" + r)));
    ASSERT_TRUE(next.ReadUntil("for-next" + r + "\n", Ms(2000)));
    EXPECT_EQ(next.Buffer(), "for-next" + r + "\n");
  }
  Daemon().WaitForQuiet(Ms(200), Ms(2000));
  EXPECT_EQ(Daemon().Output().find("write error"), std::string::npos) << Daemon().Output();
}

// Bytes the daemon has sent to the client that it has not read yet.
int Pending(const lab::PortClient& c) {
  int n = -1;
  return ioctl(c.Fd(), SIOCINQ, &n) == 0 ? n : -1;
}

// Replies that wait in the queue of a client that does not read go out in
// order once it reads, and an end-of-file reply behind them comes after
// them: the client reads every line, then its end of file.
TEST_F(DataPathLab, EndOfFileReplyComesAfterTheQueuedReplies) {
  ASSERT_NO_FATAL_FAILURE(Start(false));  // level 4: a drop would show
  lab::PortClient c0, c1;
  ASSERT_TRUE(Attach(0, &c0));
  ASSERT_TRUE(Attach(1, &c1));
  std::string expected;
  long seq = 0;
  auto sendLines = [&](int lines) {
    std::string batch;
    for (int i = 0; i < lines; ++i, ++seq) {
      batch += AckLine(0, FloodLine(seq));
      expected += FloodLine(seq) + "\n";
    }
    return Sim().Send(batch);
  };
  // Fill the client's socket until it takes no more: three rounds of lines
  // in a row that do not show up in it.
  int before = -1;
  for (int round = 0, same = 0; round < 1000 && same < 3; ++round) {
    ASSERT_TRUE(sendLines(10));
    std::this_thread::sleep_for(20ms);
    int now = Pending(c0);
    ASSERT_GE(now, 0);
    same = now == before ? same + 1 : 0;
    before = now;
  }
  ASSERT_GT(before, 0);
  // About 10 KB more wait in the queue, then the end of the connection.
  // The client reads only once the daemon has handled the end-of-file
  // reply: the port-1 line behind it has arrived.
  ASSERT_TRUE(sendLines(100));
  ASSERT_TRUE(Sim().Send(AckLine(0, "EOF") + AckLine(0, "after-eof") + AckLine(1, "behind-eof")));
  ASSERT_TRUE(c1.ReadUntil("behind-eof\n", Ms(2000)));
  ASSERT_TRUE(c0.WaitForEof(Ms(5000)));
  EXPECT_EQ(c0.Buffer().size(), expected.size());
  EXPECT_TRUE(c0.Buffer() == expected) << "the client's lines differ from what was sent";
  Daemon().WaitForQuiet(Ms(200), Ms(2000));
  EXPECT_EQ(Daemon().Output().find("write error"), std::string::npos) << Daemon().Output();
  lab::PortClient next;
  EXPECT_TRUE(Attach(0, &next));
}

// Started with 1100 descriptors open, the daemon's sockets get numbers
// above 1023: the port still accepts, forwards a command and returns the
// reply, and the auxiliary socket still takes a client.
TEST_F(DataPathLab, ServesPortsWithDescriptorsAbove1023) {
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  struct rlimit raised = old;
  raised.rlim_cur = 4096;
  if (raised.rlim_max < raised.rlim_cur) raised.rlim_max = raised.rlim_cur;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0) << strerror(errno);
  std::vector<int> held;
  for (int i = 0; i < 1100; ++i) {
    int fd = open("/dev/null", O_RDONLY);  // inherited by the daemon
    ASSERT_GE(fd, 0) << strerror(errno);
    held.push_back(fd);
  }
  Start(true);
  for (int fd : held) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  if (HasFatalFailure()) return;

  // The daemon really works above 1023.
  int highest = -1;
  for (const std::string& fd :
       lab::ListDirectory("/proc/" + std::to_string(Daemon().Pid()) + "/fd")) {
    highest = std::max(highest, std::atoi(fd.c_str()));
  }
  EXPECT_GT(highest, 1100);

  lab::PortClient c0;
  ASSERT_TRUE(Attach(0, &c0));
  ASSERT_TRUE(Sim().Send(AckLine(0, "from-high")));
  ASSERT_TRUE(c0.ReadUntil("from-high\n", Ms(2000))) << c0.Buffer();
  EXPECT_EQ(c0.Buffer(), "from-high\n");

  lab::PortClient aux;
  ASSERT_TRUE(aux.ConnectWithin(AuxPath(), Ms(2000)));
  ASSERT_TRUE(aux.Send("aux-data"));
  EXPECT_TRUE(Daemon().WaitForOutput("received 8 bytes:\naux-data", Ms(2000))) << Daemon().Output();
}

// With one client connected and nothing to do, the serial and port threads
// sleep: no wake-ups on a timer. The main thread keeps its 200 ms turn.
TEST_F(DataPathLab, IdleDaemonSleepsUntilSomethingHappens) {
  ASSERT_NO_FATAL_FAILURE(Start(false));
  lab::PortClient c0;
  ASSERT_TRUE(Attach(0, &c0));
  Daemon().WaitForQuiet(300ms, 2000ms);
  pid_t pid = Daemon().Pid();
  std::map<std::string, long> before = SwitchesByThread(pid);
  auto t0 = Clock::now();
  std::this_thread::sleep_for(2s);
  std::map<std::string, long> after = SwitchesByThread(pid);
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  long mainTurns = 0, workers = 0, busiest = 0;
  for (const auto& [tid, n] : after) {
    long woke = n - before[tid];
    if (tid == std::to_string(pid)) {
      mainTurns = woke;
    } else {
      workers += woke;
      busiest = std::max(busiest, woke);
    }
  }
#if defined(__SANITIZE_THREAD__)
  workers -= busiest;  // TSan's own background thread wakes about ten times a second
#endif
  EXPECT_LE(workers, 3) << "serial and port threads woke " << workers << " times in " << secs
                        << " s";
  EXPECT_LE(mainTurns, static_cast<long>(secs * 5) + 3) << "main loop turns";

  // Asleep, they still answer at once.
  ASSERT_TRUE(Sim().Send(AckLine(0, "wake")));
  ASSERT_TRUE(c0.ReadUntil("wake\n", Ms(2000)));
  ASSERT_TRUE(c0.Send("cmd-after-idle\n"));
  EXPECT_TRUE(Sim().WaitForSubstring(CommandLine(0, "cmd-after-idle"), Ms(2000)));
}

// A replay waits until the port's client has been quiet for 100 ms: a
// client that sends every 20 ms holds its own port's replay back, not the
// replay of the other port.
TEST_F(DataPathLab, ReplayOfABusyPortGoesBeforeItsNextBlockAndRepeatsNothingElse) {
  ASSERT_NO_FATAL_FAILURE(Start(true));
  lab::PortClient c0;
  ASSERT_TRUE(Attach(0, &c0));
  Sim().ClearReceived();
  std::atomic<int> sentBusy{0};
  std::thread busy([&] {
    for (int i = 0; i < 40; ++i) {
      c0.Send("busy" + std::to_string(i) + "\n");
      sentBusy = i + 1;
      std::this_thread::sleep_for(20ms);
    }
  });
  lab::WaitUntil([&] { return sentBusy >= 10; }, Ms(2000));
  Sim().Unplug();
  Sim().Plug(1);
  busy.join();
  ASSERT_TRUE(Sim().WaitForSubstring(CommandLine(0, "busy39"), Ms(3000))) << Sim().Received();
  const std::string lastBusy = "): port E1.0 busy39\n";
  ASSERT_TRUE(Daemon().WaitForOutput(lastBusy, Ms(2000)));
  std::string log = Daemon().Output();
  size_t reopened = log.find("TTY port filename found: ttyACM1\n");
  size_t replay0 =
      log.find("Last command block request processed (1 cmds) for E1 thread idx 0\n", reopened);
  size_t replay1 =
      log.find("Last command block request processed (0 cmds) for E1 thread idx 1\n", reopened);
  size_t busyEnd = log.find(lastBusy);
  ASSERT_NE(reopened, std::string::npos) << log;
  EXPECT_LT(reopened, busyEnd) << "the replug came after the busy client: nothing tested";
  // Neither port waits for the busy client to be quiet: port 0's replay goes
  // before its next block, port 1's at once.
  EXPECT_LT(replay0, busyEnd) << log;
  EXPECT_LT(replay1, busyEnd) << log;

  // On the wire: every busy command once, in order, and once more the one
  // sent last before the loss, right after it, as the replayed block.
  std::vector<std::string> seen;
  for (const std::string& line : Sim().LineTexts()) {
    int port = -1;
    std::string text;
    if (lab::ParseCommandLine(line, &port, &text) && port == 0) seen.push_back(text);
  }
  int repeats = 0;
  for (size_t i = 1; i < seen.size(); ++i) {
    if (seen[i] == seen[i - 1]) {
      ++repeats;
      seen.erase(seen.begin() + static_cast<long>(i));
      break;
    }
  }
  EXPECT_EQ(repeats, 1) << Sim().Received();
  std::vector<std::string> want(40);
  for (int i = 0; i < 40; ++i) want[i] = "busy" + std::to_string(i);
  EXPECT_EQ(seen, want) << Sim().Received();
}

}  // namespace
