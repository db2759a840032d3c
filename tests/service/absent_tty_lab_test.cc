// A controller whose tty is not there when the daemon starts: sysfs names
// it, the device node comes later. It is served as a controller lost after
// start-up is: ready at once, its ports take clients, their commands wait
// for the line, and the line is opened when the tty appears.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"
#include "lab/rig_test.h"
#include "tests/service/notify_listener.h"

namespace {

using namespace std::chrono_literals;
using lab::kSlow;
using lab::Ms;
using lab::NotifyListener;

class AbsentTtyLab : public lab::RigTest {
 protected:
  // A two-port controller whose simulator is unplugged, with its tty
  // still named in sysfs (the device node is missing).
  void SetUp() override {
    lab::ControllerSpec model;
    model.pid = lab::kTwoPortPid;
    model.pairs = {lab::EthFunction::NoNetDir(), lab::EthFunction::NoNetDir()};
    lab::UartSpec uart;
    uart.reply = lab::AckReplyRule();
    rig.AddController(model, uart);
    Sim().Unplug();
    rig.usb.AddTty(Layout().ctlIf, "ttyACM0");
  }
};

TEST_F(AbsentTtyLab, ReadyAtOnceTheFirstCommandWaitsForTheTtyPluggedLater) {
  NotifyListener manager("/run/notify");
  ASSERT_TRUE(manager.Bound());
  lab::DaemonOptions o;
  o.env = {manager.Env(), "WATCHDOG_USEC", "WATCHDOG_PID", "JOURNAL_STREAM"};
  auto started = std::chrono::steady_clock::now();
  rig.StartDaemon({Layout().ctlIf}, o);
  ASSERT_TRUE(manager.WaitFor("READY=1", Ms(10000))) << Daemon().Output();
  const std::string waiting = Layout().ctlIf + ": waiting for its tty (ttyACM0), 2 ports, ";
  std::vector<NotifyListener::Message> ready = manager.With("READY=1");
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].text, "READY=1\nSTATUS=" + waiting + "0 clients");

  // Both ports listen when READY=1 comes; the first client's command goes
  // in before the tty exists.
  lab::PortClient first, second;
  ASSERT_EQ(first.Connect(PortPath(0)), 0);
  ASSERT_EQ(second.Connect(PortPath(1)), 0);
  ASSERT_TRUE(first.Send("first\n"));
  EXPECT_TRUE(manager.WaitFor("STATUS=" + waiting + "2 clients", 2s * kSlow));

  // What e1ctl and the status document say meanwhile: not healthy.
  lab::ToolRun r = lab::RunE1ctl({"status", Layout().ctlIf});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(8)) << r.out << r.err;
  EXPECT_NE(r.out.find("uart:   waiting for its tty (ttyACM0)"), std::string::npos) << r.out;
  r = lab::RunE1ctl({"status", "--json", Layout().ctlIf});
  EXPECT_NE(r.out.find("\"state\":\"waiting\""), std::string::npos) << r.out;

  std::this_thread::sleep_until(started + 2s);
  EXPECT_FALSE(first.ReadUntil("first\n", 100ms)) << "a reply before the controller exists";
  Sim().Plug(0);
  EXPECT_TRUE(first.ReadUntil("first\n", 5s * kSlow)) << Daemon().Output();
  // Sent once: the replay that the opening asks for had no earlier block.
  std::vector<std::string> lines = Sim().LineTexts();
  EXPECT_EQ(lines, std::vector<std::string>{"CMD:port E1.0 first"}) << Daemon().Output();
  EXPECT_TRUE(
      manager.WaitFor("STATUS=" + Layout().ctlIf + ": ttyACM0, 2 ports, 2 clients", 5s * kSlow));
  ASSERT_TRUE(second.Send("second\n"));
  EXPECT_TRUE(second.ReadUntil("second\n", 5s * kSlow)) << Daemon().Output();
  r = lab::RunE1ctl({"status", Layout().ctlIf});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(0)) << r.out << r.err;
  // The first opening is no reopen.
  r = lab::RunE1ctl({"status", "--json", Layout().ctlIf});
  EXPECT_NE(r.out.find("\"state\":\"open\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"losses\":0,\"reopens\":0"), std::string::npos) << r.out;

  // A loss and a return afterwards are told as for any controller.
  first.Close();
  second.Close();
  Sim().Unplug();
  EXPECT_TRUE(manager.WaitFor("UART lost (was ttyACM0)", 5s * kSlow)) << Daemon().Output();
  Sim().Plug(1);
  EXPECT_TRUE(manager.WaitFor(": ttyACM1, 2 ports", 5s * kSlow)) << Daemon().Output();
  EXPECT_EQ(manager.With("READY=1").size(), 1u);
  ASSERT_TRUE(Daemon().Signal(SIGTERM));
  EXPECT_EQ(Daemon().WaitExit(Ms(10000)), lab::ExitStatus::Exited(0)) << Daemon().Output();

  // Printed as ever at start-up, and nothing more while it waited: the
  // arguments, the data interface and the failed opening.
  const std::string start = "Parameter 1: " + Layout().ctlIf + "\nCheckForE1_QZXcontroller: path " +
                            Layout().dataIf + " doesn't match " + Layout().ctlIf +
                            " \nCan't open controller device /dev/ttyACM0: No such file or "
                            "directory\nAbnormal exit, sig = 0000000F\n";
  EXPECT_EQ(Daemon().Output(), start);
}

}  // namespace
