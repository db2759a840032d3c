// The control socket's monitor end to end: the traffic's lines in order
// with their outcomes, e1ctl monitor, and a monitor that never reads, which
// loses lines but never slows the port's round trips.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon/control_socket.h"
#include "tests/control/control_lab.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lab::kSlow;
using lab::Ms;

// The fields of a monitor line after its time: controller, port, dir,
// outcome, text.
std::string Fields(const std::string& line) {
  size_t sp = line.find(' ');
  return sp == std::string::npos ? line : line.substr(sp + 1);
}

class MonitorLab : public lab::RigTest {
 protected:
  void SetUp() override {
    lab::UartSpec uart;
    uart.reply = lab::AckReplyRule();
    AddController(lab::kTwoPortPid, uart);
    StartServing({"-k", Layout().ctlIf});
  }
  // A monitor connected and answered "ok".
  bool OpenMonitor(lab::PortClient* m, const std::string& request) {
    if (!m->ConnectWithin(rig.Controller().ControlPath(), Ms(3000))) return false;
    m->Send(request + "\n");
    std::optional<std::string> ok = m->ReadLine(Ms(3000));
    return ok && *ok == "ok\n";
  }
  // `n` round trips of one command each on `client`; how long they took.
  std::chrono::milliseconds RoundTrips(lab::PortClient* client, int n, const std::string& tag) {
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
      std::string text = tag + std::to_string(i) + "\n";
      if (!client->Send(text) || !client->ReadUntil(text, Ms(3000))) {
        ADD_FAILURE() << "round trip " << i << " failed";
        break;
      }
      client->ClearBuffer();
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  }
};

TEST_F(MonitorLab, LinesComeInOrderWithTheirOutcomes) {
  lab::PortClient client;
  ASSERT_TRUE(Attach(0, &client));
  ASSERT_TRUE(client.ReadUntil(rig.LastSync(), Ms(3000)));
  lab::PortClient all, port1;
  ASSERT_TRUE(OpenMonitor(&all, "monitor"));
  ASSERT_TRUE(OpenMonitor(&port1, "monitor 1"));

  ASSERT_TRUE(client.Send("hello\n"));
  ASSERT_TRUE(client.ReadUntil("hello\n", Ms(3000)));
  ASSERT_TRUE(Sim().Send("ACK:E1.1:nobody\nnoise\x01\nACK:E1.0:EOF\nACK:E1.0:late\n"));
  ASSERT_TRUE(client.WaitForEof(Ms(3000)));
  const std::string ctl = Layout().ctlIf;
  std::vector<std::string> want = {
      ctl + " 0 tx sent CMD:port E1.0 hello",  ctl + " 0 rx delivered ACK:E1.0:hello",
      ctl + " 1 rx no-client ACK:E1.1:nobody", ctl + " - rx not-a-reply noise\\x01",
      ctl + " 0 rx eof ACK:E1.0:EOF",          ctl + " 0 rx after-eof ACK:E1.0:late",
  };
  // The line behind the end-of-file reply meets the ended client, or none
  // when the port thread closed it first (the counters suite holds the
  // port thread back to see the first for sure).
  const std::string lateNoClient = ctl + " 0 rx no-client ACK:E1.0:late";
  ASSERT_TRUE(all.ReadLines(want.size(), Ms(3000))) << all.Buffer();
  std::vector<std::string> got;
  long long lastUs = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    std::string line = *all.ReadLine(Ms(100));
    line.pop_back();
    long long us = std::stoll(line.substr(0, line.find(' ')));
    EXPECT_GE(us, lastUs) << line;
    lastUs = us;
    got.push_back(Fields(line));
  }
  if (got.back() == lateNoClient) got.back() = want.back();
  EXPECT_EQ(got, want);
  // The port's own monitor sees port 1 only.
  ASSERT_TRUE(port1.ReadLines(1, Ms(3000)));
  std::this_thread::sleep_for(100ms);
  port1.ReadFor(50ms);
  EXPECT_EQ(Fields(port1.Buffer().substr(0, port1.Buffer().size() - 1)), want[2]) << port1.Buffer();

  // e1ctl monitor prints the lines as they come and ends after -n.
  lab::PortClient second;
  ASSERT_TRUE(Attach(1, &second));
  ASSERT_TRUE(second.ReadUntil(rig.LastSync(), Ms(3000)));
  std::thread later([&] {
    std::this_thread::sleep_for(Ms(500));
    second.Send("via e1ctl\n");
  });
  lab::ToolRun r = lab::RunE1ctl({"monitor", ctl, "-p", "1", "-n", "2"});
  later.join();
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(0)) << r.err;
  std::istringstream lines(r.out);
  std::vector<std::string> printed;
  for (std::string l; std::getline(lines, l);) printed.push_back(Fields(l));
  EXPECT_EQ(printed, (std::vector<std::string>{ctl + " 1 tx sent CMD:port E1.1 via e1ctl",
                                               ctl + " 1 rx delivered ACK:E1.1:via e1ctl"}));
}

TEST_F(MonitorLab, AMonitorThatNeverReadsLosesLinesButNeverSlowsThePort) {
  lab::PortClient client;
  ASSERT_TRUE(Attach(0, &client));
  // Rounds of round trips, without and with a monitor with a tiny receive
  // buffer that reads nothing; the fastest round of each is compared, so
  // that a busy machine's pauses do not count. A round trip takes from 15
  // to 100 us as the processors sleep or not, so the bound is loose: it is
  // there for a monitor that holds the port up, which takes seconds.
  const int kRounds = 4;
  const int kTrips = 500;
  std::vector<lab::PortClient> stuck(kRounds);
  long long plain = 1 << 30, watched = 1 << 30;
  for (int round = 0; round < kRounds; ++round) {
    plain = std::min<long long>(plain, RoundTrips(&client, kTrips, "plain").count());
    lab::PortClient& m = stuck[static_cast<size_t>(round)];
    ASSERT_TRUE(m.ConnectWithin(rig.Controller().ControlPath(), Ms(3000)));
    int small = 4096;
    setsockopt(m.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(m.Send("monitor\n"));
    std::this_thread::sleep_for(50ms);  // attached before the round
    std::string tag = "watched" + std::to_string(round) + "-";
    watched = std::min<long long>(watched, RoundTrips(&client, kTrips, tag).count());
    if (round + 1 < kRounds) m.Close();
  }
  EXPECT_LT(watched, plain * 2 + 100 * kSlow)
      << "fastest " << kTrips << " round trips without monitor " << plain
      << " ms, with a stuck one " << watched << " ms";
  lab::PortClient& last = stuck.back();
  const int kLastRound = kRounds - 1;

  // Once it reads, it is told how many lines it lost, then gets the rest.
  ASSERT_TRUE(last.ReadUntil("lost ", Ms(5000))) << last.Buffer().substr(0, 300);
  last.ReadFor(300ms);
  const std::string& b = last.Buffer();
  size_t at = b.find("\nlost ");
  ASSERT_NE(at, std::string::npos);
  long long lost = std::stoll(b.substr(at + 6));
  EXPECT_GT(lost, 0);
  // The monitor got the start ("ok", the first lines), lost a stretch and
  // ends with the last round trip's lines.
  EXPECT_EQ(b.rfind("ok\n", 0), 0u);
  EXPECT_NE(b.find("rx delivered ACK:E1.0:watched" + std::to_string(kLastRound) + "-" +
                   std::to_string(kTrips - 1)),
            std::string::npos)
      << b.substr(b.size() > 300 ? b.size() - 300 : 0);
}

// A flood of replies with monitors that never read attached: the client
// gets every reply, as fast as without them, and nothing is lost for it.
TEST_F(MonitorLab, StuckMonitorsDoNotSlowAReplyFlood) {
  lab::PortClient client;
  ASSERT_TRUE(Attach(0, &client));
  ASSERT_TRUE(client.ReadUntil(rig.LastSync(), Ms(3000)));
  client.ClearBuffer();
  const int kReplies = 4000;  // a burst the client's queue takes whole
  // Five bursts, each read whole before the next; how long they took.
  auto flood = [&](const std::string& round) {
    auto start = Clock::now();
    for (int b = 0; b < 5; ++b) {
      std::string tag = round + "b" + std::to_string(b) + "-";
      std::string burst;
      for (int i = 0; i < kReplies; ++i) burst += "ACK:E1.0:" + tag + std::to_string(i) + "\n";
      EXPECT_TRUE(Sim().Send(burst));
      EXPECT_TRUE(client.ReadUntil(tag + std::to_string(kReplies - 1) + "\n", Ms(10000))) << tag;
      EXPECT_EQ(lab::CountOf(client.Buffer(), tag), static_cast<size_t>(kReplies)) << tag;
      client.ClearBuffer();
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  };
  const int kRounds = 3;
  long long plain = 1 << 30, watched = 1 << 30;
  std::vector<lab::PortClient> stuck(2);
  for (int round = 0; round < kRounds; ++round) {
    plain = std::min<long long>(plain, flood("p" + std::to_string(round) + "-"));
  }
  for (lab::PortClient& m : stuck) {
    ASSERT_TRUE(m.ConnectWithin(rig.Controller().ControlPath(), Ms(3000)));
    int small = 4096;
    setsockopt(m.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(m.Send("monitor\n"));
  }
  std::this_thread::sleep_for(50ms);  // attached before the floods
  for (int round = 0; round < kRounds; ++round) {
    watched = std::min<long long>(watched, flood("w" + std::to_string(round) + "-"));
  }
  EXPECT_LT(watched, plain * 2 + 100 * kSlow)
      << "fastest five floods of " << kReplies << " replies without monitors " << plain
      << " ms, with two stuck ones " << watched << " ms";
  // The monitors did see the traffic, and lost some of it.
  ASSERT_TRUE(stuck[0].ReadUntil("lost ", Ms(5000))) << stuck[0].Buffer().substr(0, 300);
}

TEST_F(MonitorLab, MoreThanEightClientsAreToldBusy) {
  std::vector<lab::PortClient> monitors(8);
  for (lab::PortClient& m : monitors) ASSERT_TRUE(OpenMonitor(&m, "monitor"));
  EXPECT_EQ(control_lab::Ask(rig.Controller().ControlPath(), "status"), "error busy\n");
  monitors.pop_back();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(control_lab::Ask(rig.Controller().ControlPath(), "log-level"), "level 4\n");
}

// Clients that connect and never finish their request would otherwise
// keep every place for good: they are closed after the request time.
TEST_F(MonitorLab, SilentClientsAreClosedAndTheirPlacesFreed) {
  std::vector<lab::PortClient> silent(kMaxControlClients);
  for (size_t i = 0; i < silent.size(); ++i) {
    ASSERT_TRUE(silent[i].ConnectWithin(rig.Controller().ControlPath(), Ms(3000)));
    if (i % 2 == 1) silent[i].Send("stat");  // half a request, no line end
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(control_lab::Ask(rig.Controller().ControlPath(), "status"), "error busy\n");
  auto start = Clock::now();
  for (lab::PortClient& c : silent) {
    ASSERT_TRUE(c.WaitForEof(Ms(kControlClientTimeoutMs + 3000)));
    EXPECT_EQ(c.Buffer(), "");
  }
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kControlClientTimeoutMs - 1000))
      << "closed too soon";
  EXPECT_EQ(control_lab::Ask(rig.Controller().ControlPath(), "log-level"), "level 4\n");
}

}  // namespace
