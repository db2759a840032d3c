// The daemon under a service manager, in the lab sandbox: a datagram socket
// stands in for the manager's notification socket ($NOTIFY_SOCKET), a pipe
// whose device and inode are in $JOURNAL_STREAM stands in for the journal.
#include <gtest/gtest.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"
#include "lab/rig_test.h"
#include "tests/service/notify_listener.h"

namespace {

using namespace std::chrono_literals;
using lab::NotifyListener;
using Clock = std::chrono::steady_clock;

using lab::kSlow;
using lab::Ms;

// A two-port controller (c251:0005) with a simulated control UART.
class ServiceLab : public lab::RigTest {
 protected:
  void SetUp() override {
    lab::ControllerSpec model;
    model.pid = lab::kTwoPortPid;
    model.pairs = {lab::EthFunction::NoNetDir(), lab::EthFunction::NoNetDir()};
    lab::UartSpec uart;
    uart.reply = lab::AckReplyRule();
    rig.AddController(model, uart);
  }

  void Start(const std::vector<std::string>& args, const std::vector<std::string>& env,
             bool journal = false) {
    lab::DaemonOptions o;
    o.env = env;
    o.journalStream = journal;
    rig.StartDaemon(args, o);
  }

  void StopAndExpectZero() {
    ASSERT_TRUE(Daemon().Signal(SIGTERM));
    EXPECT_EQ(Daemon().WaitExit(Ms(10000)), lab::ExitStatus::Exited(0)) << Daemon().Output();
  }
};

TEST_F(ServiceLab, ReadyOnlyOnceBothPortsAcceptThenStatusOnLossAndReturn) {
  NotifyListener manager("/run/notify");
  ASSERT_TRUE(manager.Bound());
  Start({Layout().ctlIf}, {manager.Env(), "WATCHDOG_USEC", "WATCHDOG_PID"});
  ASSERT_TRUE(manager.WaitFor("READY=1", Ms(10000))) << Daemon().Output();
  // Right when READY=1 arrives, both ports take a client at the first try.
  lab::PortClient first, client;
  EXPECT_EQ(first.Connect(PortPath(0)), 0);
  EXPECT_EQ(client.Connect(PortPath(1)), 0);
  std::vector<NotifyListener::Message> ready = manager.With("READY=1");
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].text, "READY=1\nSTATUS=" + Layout().ctlIf + ": ttyACM0, 2 ports, 0 clients");
  EXPECT_TRUE(manager.With("WATCHDOG=1").empty()) << "no watchdog was asked for";

  // The client of port 1 stays; the controller goes and comes back as
  // ttyACM1.
  first.Close();
  ASSERT_TRUE(client.Send("ping\n"));
  ASSERT_TRUE(client.ReadUntil("ping\n", Ms(5000)));
  std::this_thread::sleep_for(300ms);  // port 0 has seen its client go
  Sim().Unplug();
  std::string lost = "STATUS=" + Layout().ctlIf + ": UART lost (was ttyACM0), 2 ports, 1 client";
  EXPECT_TRUE(manager.WaitFor(lost, 5s * kSlow)) << Daemon().Output();
  Sim().Plug(1);
  std::string back = "STATUS=" + Layout().ctlIf + ": ttyACM1, 2 ports, 1 client";
  EXPECT_TRUE(manager.WaitFor(back, 5s * kSlow)) << Daemon().Output();
  EXPECT_EQ(manager.With("READY=1").size(), 1u);
  StopAndExpectZero();
}

TEST_F(ServiceLab, StatusFollowsClientsConnectingAndLeaving) {
  NotifyListener manager("/run/notify");
  ASSERT_TRUE(manager.Bound());
  Start({Layout().ctlIf}, {manager.Env(), "WATCHDOG_USEC", "WATCHDOG_PID"});
  ASSERT_TRUE(manager.WaitFor("READY=1", Ms(10000))) << Daemon().Output();
  const std::string prefix = "STATUS=" + Layout().ctlIf + ": ttyACM0, 2 ports, ";
  lab::PortClient a, b;
  ASSERT_TRUE(Attach(0, &a));
  EXPECT_TRUE(manager.WaitFor(prefix + "1 client", 2s * kSlow)) << Daemon().Output();
  ASSERT_TRUE(Attach(1, &b));
  EXPECT_TRUE(manager.WaitFor(prefix + "2 clients", 2s * kSlow));
  size_t before = manager.With(prefix + "1 client").size();
  a.Close();
  EXPECT_TRUE(lab::WaitUntil([&] { return manager.With(prefix + "1 client").size() > before; },
                             2s * kSlow));
  b.Close();
  EXPECT_TRUE(lab::WaitUntil(
      [&] {
        std::vector<NotifyListener::Message> m = manager.Messages();
        return !m.empty() && m.back().text == prefix + "0 clients";
      },
      2s * kSlow));
  StopAndExpectZero();
}

TEST_F(ServiceLab, StoppingOnTerminationSignalAndOutputAsWithoutManager) {
  // The same run without a service manager, for its output.
  Start({"-n"}, {"NOTIFY_SOCKET", "JOURNAL_STREAM"});
  ASSERT_TRUE(lab::WaitUntil([&] { return lab::Exists(PortPath(1)); }, Ms(10000)));
  StopAndExpectZero();
  std::string bare = Daemon().Output();
  EXPECT_NE(bare.find("Abnormal exit, sig = 0000000F\n"), std::string::npos) << bare;

  NotifyListener manager("@e1ctld-lab-notify");
  ASSERT_TRUE(manager.Bound());
  Start({"-n"}, {manager.Env(), "JOURNAL_STREAM"});
  ASSERT_TRUE(manager.WaitFor("READY=1", Ms(10000))) << Daemon().Output();
  EXPECT_TRUE(manager.With("STOPPING=1").empty());
  StopAndExpectZero();
  EXPECT_TRUE(manager.WaitFor("STOPPING=1", Ms(2000)));
  EXPECT_EQ(manager.With("STOPPING=1").size(), 1u);
  // The abstract name worked, and the log is the one without a manager.
  EXPECT_EQ(Daemon().Output(), bare);
}

TEST_F(ServiceLab, AnUnusableNotifySocketChangesNothing) {
  Start({"-n"}, {"NOTIFY_SOCKET", "JOURNAL_STREAM"});
  ASSERT_TRUE(lab::WaitUntil([&] { return lab::Exists(PortPath(1)); }, Ms(10000)));
  StopAndExpectZero();
  std::string bare = Daemon().Output();
  for (const char* socketName : {"/run/nobody-listens", "relative", "@"}) {
    Start({"-n"},
          {std::string("NOTIFY_SOCKET=") + socketName, "WATCHDOG_USEC=200000", "JOURNAL_STREAM"});
    lab::PortClient client;
    EXPECT_TRUE(client.ConnectWithin(PortPath(0), Ms(10000))) << socketName;
    ASSERT_TRUE(client.Send("status\n"));
    EXPECT_TRUE(client.ReadUntil("status\n", Ms(5000))) << socketName;
    client.Close();
    StopAndExpectZero();
    EXPECT_EQ(Daemon().Output(), bare) << socketName;
    EXPECT_EQ(Daemon().Errors(), "") << socketName;
  }
}

TEST_F(ServiceLab, WatchdogEveryHalfPeriodOnlyForThisProcess) {
  NotifyListener manager("/run/notify");
  ASSERT_TRUE(manager.Bound());
  // A period of 1.2 s: a keep-alive at least every 0.6 s.
  const auto half = 600ms * kSlow;
  Start({"-n"},
        {manager.Env(), "WATCHDOG_USEC=" + std::to_string(1200000 * kSlow), "WATCHDOG_PID"});
  ASSERT_TRUE(manager.WaitFor("READY=1", Ms(10000)));
  std::this_thread::sleep_for(3s * kSlow);
  std::vector<NotifyListener::Message> pings = manager.With("WATCHDOG=1");
  ASSERT_GE(pings.size(), 5u);
  for (size_t i = 1; i < pings.size(); ++i) {
    EXPECT_LE(pings[i].at - pings[i - 1].at, half)
        << "between keep-alives " << i - 1 << " and " << i;
  }
  EXPECT_LE(Clock::now() - pings.back().at, half);
  StopAndExpectZero();

  // $WATCHDOG_PID names another process: no keep-alive from this one.
  NotifyListener other("/run/notify-other");
  Start({"-n"}, {other.Env(), "WATCHDOG_USEC=400000", "WATCHDOG_PID=1"});
  ASSERT_TRUE(other.WaitFor("READY=1", Ms(10000)));
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(other.With("WATCHDOG=1").empty());
  StopAndExpectZero();
}

TEST_F(ServiceLab, WatchdogPeriodsTooShortToHalveGetAKeepAliveEveryTurn) {
  NotifyListener manager("/run/notify");
  ASSERT_TRUE(manager.Bound());
  // 1 us: no keep-alive can come within half of it; one comes at every
  // turn of the main loop (at most 200 ms apart), never none.
  Start({"-n"}, {manager.Env(), "WATCHDOG_USEC=1", "WATCHDOG_PID"});
  ASSERT_TRUE(manager.WaitFor("READY=1", Ms(10000))) << Daemon().Output();
  std::this_thread::sleep_for(1500ms * kSlow);
  std::vector<NotifyListener::Message> pings = manager.With("WATCHDOG=1");
  ASSERT_GE(pings.size(), 5u);
  for (size_t i = 1; i < pings.size(); ++i) {
    EXPECT_LE(pings[i].at - pings[i - 1].at, 300ms * kSlow)
        << "between keep-alives " << i - 1 << " and " << i;
  }
  EXPECT_LE(Clock::now() - pings.back().at, 300ms * kSlow);
  StopAndExpectZero();
}

TEST_F(ServiceLab, SoftDescriptorLimitIsRaisedToTheHardLimit) {
  // Started with a soft limit too low for the two-port controller's
  // descriptors (the sockets could not all be made), as systemd's 1024 is
  // for a large hub tree.
  lab::DaemonOptions o;
  o.path = "/bin/sh";
  o.argv0 = "sh";
  rig.StartDaemon({"-c", "ulimit -S -n 12 && exec \"$0\" \"$@\"", lab::DaemonPath(), "-n"}, o);
  ASSERT_EQ(rig.WaitSockets(Ms(10000)), "");
  for (int port : {0, 1}) {
    lab::PortClient client;
    ASSERT_TRUE(client.ConnectWithin(PortPath(port), Ms(10000))) << Daemon().Output();
    ASSERT_TRUE(client.Send("status\n"));
    EXPECT_TRUE(client.ReadUntil("status\n", Ms(5000))) << Daemon().Output();
  }
  // /proc/<pid>/limits: "Max open files  <soft>  <hard>  files".
  std::string limits = lab::ReadFile("/proc/" + std::to_string(Daemon().Pid()) + "/limits");
  size_t at = limits.find("Max open files");
  ASSERT_NE(at, std::string::npos) << limits;
  unsigned long long soft = 0, hard = 0;
  ASSERT_EQ(sscanf(limits.c_str() + at, "Max open files %llu %llu", &soft, &hard), 2) << limits;
  EXPECT_EQ(soft, hard) << limits;
  EXPECT_GT(soft, 12u);
  EXPECT_EQ(Daemon().Output().find("Can't"), std::string::npos) << Daemon().Output();
  StopAndExpectZero();
}

// `text` without the "<N>" at the start of its lines.
std::string StripPrefixes(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string::npos ? text.size() : nl + 1;
    size_t skip =
        text.compare(start, 1, "<") == 0 && text.size() - start >= 3 && text[start + 2] == '>' ? 3
                                                                                               : 0;
    out += text.substr(start + skip, end - start - skip);
    start = end;
  }
  return out;
}

// True when every line of `text` starts with "<N>" for a digit N.
bool EveryLinePrefixed(const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    if (text.size() - start < 3 || text[start] != '<' || text[start + 1] < '0' ||
        text[start + 1] > '7' || text[start + 2] != '>') {
      return false;
    }
    size_t nl = text.find('\n', start);
    start = nl == std::string::npos ? text.size() : nl + 1;
  }
  return true;
}

TEST_F(ServiceLab, JournalStreamGetsPriorityPrefixesOnEveryLine) {
  Start({"-n", "--debugmsg"}, {}, /*journal=*/true);
  ASSERT_TRUE(Daemon().WaitForOutput("Found 1 E1 controller", Ms(10000)));
  lab::PortClient client;
  ASSERT_TRUE(client.ConnectWithin(PortPath(0), Ms(10000)));
  ASSERT_TRUE(client.Send("status\n"));
  ASSERT_TRUE(client.ReadUntil("status\n", Ms(5000)));
  client.Close();
  StopAndExpectZero();
  std::string out = Daemon().Output();
  EXPECT_TRUE(EveryLinePrefixed(out)) << out;
  // Levels as priorities, the blank line of a message included; the stop
  // by signal is a notice, not an alert.
  EXPECT_NE(out.find("<6>Found 1 E1 controller\n<6>\n"), std::string::npos) << out;
  EXPECT_NE(out.find("<5>Analyzing "), std::string::npos) << out;
  EXPECT_NE(out.find("<7>cmd0(len="), std::string::npos) << out;
  EXPECT_NE(out.find("<5>Abnormal exit, sig = 0000000F\n"), std::string::npos) << out;

  // A fatal error: priority 3 on each of its lines.
  rig.StopDaemon();
  Start({Layout().ctlIf}, {}, /*journal=*/true);
  ASSERT_TRUE(lab::WaitUntil([&] { return lab::Exists(LockPath()); }, Ms(10000)));
  lab::ToolOptions second;
  second.journalStream = true;
  second.argv0 = "e1ctld";
  lab::ToolRun r = lab::RunDaemon({Layout().ctlIf}, second);
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(11)) << r.out;
  EXPECT_NE(r.out.find("\n<3>e1ctld: can't obtain LOCKFILE '" + LockPath() + "'"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\n<3>Process-owner: 'e1ctld' (pid="), std::string::npos) << r.out;
  EXPECT_TRUE(EveryLinePrefixed(r.out)) << r.out;
  r = lab::RunDaemon({"9-9:1.0"}, second);
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(2));
  EXPECT_TRUE(EveryLinePrefixed(r.out)) << r.out;
  EXPECT_NE(r.out.find("<3>No E1 controllers matched"), std::string::npos) << r.out;
}

// True when some line of `text` starts with "<N>" for a digit N.
bool SomeLinePrefixed(const std::string& text) {
  for (size_t start = 0; start < text.size();) {
    if (text.size() - start >= 3 && text[start] == '<' && text[start + 1] >= '0' &&
        text[start + 1] <= '9' && text[start + 2] == '>') {
      return true;
    }
    size_t nl = text.find('\n', start);
    start = nl == std::string::npos ? text.size() : nl + 1;
  }
  return false;
}

TEST_F(ServiceLab, TablesHelpAndVersionStayBareAndOtherStreamsGetNoPrefix) {
  lab::ToolOptions bareRun;
  bareRun.env = {"JOURNAL_STREAM"};
  lab::ToolOptions journal;
  journal.journalStream = true;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-s", "-n"}, {"-e", "-n"}, {"-p"}, {"-h"}, {"-v"}}) {
    lab::ToolRun bare = lab::RunDaemon(args, bareRun);
    lab::ToolRun withJournal = lab::RunDaemon(args, journal);
    EXPECT_EQ(withJournal.status, bare.status) << args[0];
    EXPECT_EQ(withJournal.out, bare.out) << args[0];
    EXPECT_FALSE(bare.out.empty()) << args[0];
    EXPECT_FALSE(SomeLinePrefixed(withJournal.out)) << args[0] << ": " << withJournal.out;
  }

  // $JOURNAL_STREAM naming another file (here /dev/null), or nonsense: the
  // log stays as it is.
  lab::ToolRun bare = lab::RunDaemon({"9-9:1.0"}, bareRun);
  EXPECT_EQ(bare.status, lab::ExitStatus::Exited(2));
  lab::ToolRun prefixed = lab::RunDaemon({"9-9:1.0"}, journal);
  EXPECT_TRUE(EveryLinePrefixed(prefixed.out)) << prefixed.out;
  EXPECT_EQ(StripPrefixes(prefixed.out), bare.out);
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  for (const std::string& stream : {std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino),
                                    std::string("1:x"), std::string("")}) {
    lab::ToolOptions other;
    other.env = {"JOURNAL_STREAM=" + stream};
    lab::ToolRun r = lab::RunDaemon({"9-9:1.0"}, other);
    EXPECT_EQ(r.status, lab::ExitStatus::Exited(2));
    EXPECT_EQ(r.out, bare.out) << stream;
  }
}

}  // namespace
