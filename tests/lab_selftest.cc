// Checks of the test lab itself: if these fail, the end-to-end results of
// the daemon mean nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "lab/lab.h"

namespace {

using namespace std::chrono_literals;

class LabTest : public ::testing::Test {
 protected:
  void SetUp() override { lab::ResetSandbox(); }
};

std::string Resolve(const std::string& path) {
  char buf[4096];
  if (realpath(path.c_str(), buf) == nullptr) return "";
  return buf;
}

// --- Sandbox -----------------------------------------------------------

TEST_F(LabTest, SandboxIsPidOneWithPrivateMounts) {
  EXPECT_EQ(getpid(), 1);
  EXPECT_TRUE(lab::InSandbox());
  // The daemon's default sysfs root shows the sandbox's /sys.
  lab::WriteFile("/sys/marker", "here\n");
  EXPECT_EQ(lab::ReadFile("/proc/1/root/sys/marker"), "here\n");
  EXPECT_TRUE(lab::IsDirectory("/var/run/"));
  lab::WriteFile("/var/run/probe", "x");
  EXPECT_TRUE(lab::Exists("/run/probe"));
  int fd = open("/dev/null", O_WRONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(write(fd, "x", 1), 1);
  close(fd);
  EXPECT_TRUE(lab::IsInterfaceUp("lo"));
}

TEST_F(LabTest, ResetEmptiesSysRunAndTtyNodes) {
  lab::WriteFile("/sys/a/b", "1");
  lab::WriteFile("/run/lockfile", "1");
  lab::MakeSymlink("/dev/pts/0", "/dev/ttyACM3");
  lab::ResetSandbox();
  EXPECT_TRUE(lab::ListDirectory("/sys").empty());
  EXPECT_TRUE(lab::ListDirectory("/run").empty());
  EXPECT_FALSE(lab::Exists("/dev/ttyACM3"));
  EXPECT_TRUE(lab::Exists("/dev/null"));
}

// --- Fake sysfs --------------------------------------------------------

TEST_F(LabTest, ControllerTreeIsShapedLikeSysfs) {
  lab::FakeUsb usb;
  lab::ControllerSpec setup;
  setup.pid = 0x0005;
  setup.pairs = {lab::EthFunction::Named("e1a"), lab::EthFunction::NoNetDir()};
  setup.hubPorts[2] = lab::EthFunction::EmptyNetDir();
  lab::ControllerLayout l = usb.AddController(setup);
  EXPECT_EQ(l.ctlIf, "1-1.3:1.0");
  EXPECT_EQ(l.dataIf, "1-1.3:1.1");
  EXPECT_EQ(l.pairDevs, (std::vector<std::string>{"1-1.1", "1-1.4"}));
  EXPECT_EQ(l.pairNames, (std::vector<std::string>{"e1a", ""}));

  const std::string devs = "/proc/1/root/sys/bus/usb/devices/";
  EXPECT_EQ(lab::ReadFile(devs + "1-1.3/idVendor"), "c251\n");
  EXPECT_EQ(lab::ReadFile(devs + "1-1.3/idProduct"), "0005\n");
  EXPECT_EQ(lab::ListDirectory(devs + "1-1.3:1.0/tty"), std::vector<std::string>{"ttyACM0"});
  EXPECT_FALSE(lab::Exists(devs + "1-1.3:1.1/tty"));
  EXPECT_EQ(lab::ListDirectory(devs + "1-1.1:1.0/net"), std::vector<std::string>{"e1a"});
  EXPECT_TRUE(lab::IsDirectory(devs + "1-1.4:1.0"));
  EXPECT_FALSE(lab::Exists(devs + "1-1.4:1.0/net"));
  EXPECT_TRUE(lab::ListDirectory(devs + "1-1.2:1.0/net").empty());

  // Links resolve into the nested /sys/devices tree, like the kernel's.
  EXPECT_EQ(Resolve("/sys/bus/usb/devices/1-1.3"),
            "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.3");
  EXPECT_EQ(Resolve("/sys/bus/usb/drivers/cdc_acm/1-1.3:1.1"),
            "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.3/1-1.3:1.1");
  EXPECT_EQ(lab::ListDirectory("/sys/bus/usb/drivers/cdc_acm"),
            (std::vector<std::string>{"1-1.3:1.0", "1-1.3:1.1", "bind", "module", "new_id",
                                      "remove_id", "uevent", "unbind"}));
}

TEST_F(LabTest, RootPortDeviceAndRemoval) {
  lab::FakeUsb usb;
  lab::ControllerSpec setup;
  setup.hub = "3-2";
  setup.chipPort = 0;
  lab::ControllerLayout l = usb.AddController(setup);
  EXPECT_EQ(l.ctlIf, "3-2:1.0");
  EXPECT_EQ(Resolve("/sys/bus/usb/devices/3-2:1.0"),
            "/sys/devices/pci0000:00/0000:00:14.0/usb3/3-2/3-2:1.0");
  usb.RemoveDevice("3-2");
  EXPECT_FALSE(lab::Exists("/sys/bus/usb/devices/3-2"));
  EXPECT_FALSE(lab::Exists("/sys/bus/usb/devices/3-2:1.0"));
  EXPECT_FALSE(lab::Exists("/sys/bus/usb/drivers/cdc_acm/3-2:1.0"));
  EXPECT_FALSE(lab::Exists("/sys/bus/usb/drivers/cdc_acm/3-2:1.1"));
  EXPECT_TRUE(lab::Exists("/sys/bus/usb/drivers/cdc_acm/unbind"));
}

// --- Simulated controller ----------------------------------------------

TEST_F(LabTest, SimRecordsLinesAndRepliesThroughThePty) {
  lab::FakeUsb usb;
  usb.AddInterface("1-1.3:1.0");
  lab::SimController::Options o;
  o.usb = &usb;
  o.iface = "1-1.3:1.0";
  o.reply = lab::AckReplyRule();
  lab::SimController sim(o);
  EXPECT_EQ(Resolve("/dev/ttyACM0"), sim.SlavePath());
  EXPECT_TRUE(lab::IsDirectory(usb.InterfaceDir("1-1.3:1.0") + "/tty/ttyACM0"));

  int fd = open("/dev/ttyACM0", O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  const std::string cmd = "CMD:port E1.1 abc\nnoise\n";
  ASSERT_EQ(write(fd, cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
  ASSERT_TRUE(sim.WaitForLines(2, 2s));
  EXPECT_EQ(sim.LineTexts(), (std::vector<std::string>{"CMD:port E1.1 abc", "noise"}));
  EXPECT_EQ(sim.Received(), cmd);

  struct pollfd p = {fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  char buf[64] = {};
  ssize_t n = read(fd, buf, sizeof buf - 1);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "ACK:E1.1:abc\n");

  ASSERT_TRUE(sim.Send("ACK:E1.?:x"));
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  n = read(fd, buf, sizeof buf - 1);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "ACK:E1.?:x");

  // Unplug: the open descriptor hangs up, node and sysfs entry are gone.
  sim.Unplug();
  p.events = POLLIN;
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  EXPECT_FALSE(lab::Exists("/dev/ttyACM0"));
  EXPECT_FALSE(lab::Exists(usb.InterfaceDir("1-1.3:1.0") + "/tty"));
  EXPECT_FALSE(sim.Send("x\n"));
  close(fd);

  sim.Plug(1);
  EXPECT_TRUE(sim.Plugged());
  EXPECT_EQ(Resolve("/dev/ttyACM1"), sim.SlavePath());
  EXPECT_EQ(lab::ListDirectory(usb.InterfaceDir("1-1.3:1.0") + "/tty"),
            std::vector<std::string>{"ttyACM1"});
  fd = open("/dev/ttyACM1", O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "again\n", 6), 6);
  close(fd);
  EXPECT_TRUE(sim.WaitForSubstring("noise\nagain\n", 2s));
}

TEST_F(LabTest, SimKeepsTheLineReadableWhenTheOtherSideCloses) {
  lab::SimController::Options o;
  lab::SimController sim(o);
  for (int round = 0; round < 2; ++round) {
    int fd = open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    std::string line = "round " + std::to_string(round) + "\n";
    ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(fd);
  }
  ASSERT_TRUE(sim.WaitForLines(2, 2s));
  EXPECT_EQ(sim.LineTexts(), (std::vector<std::string>{"round 0", "round 1"}));
}

TEST_F(LabTest, SimTerminalSettingsAreSharedWithTheDevice) {
  lab::SimController::Options o;
  lab::SimController sim(o);
  std::optional<termios> t = sim.GetTermios();
  ASSERT_TRUE(t.has_value());
  t->c_iflag = ICRNL | IXON | IGNPAR;
  t->c_lflag = ICANON | ECHO | ECHONL;
  t->c_cc[VMIN] = 7;
  t->c_cc[VTIME] = 3;
  cfsetspeed(&*t, B57600);
  ASSERT_TRUE(sim.SetTermios(*t));
  int fd = open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios seen;
  ASSERT_EQ(tcgetattr(fd, &seen), 0);
  EXPECT_EQ(seen.c_iflag, t->c_iflag);
  EXPECT_EQ(seen.c_lflag, t->c_lflag);
  EXPECT_EQ(seen.c_cc[VMIN], 7);
  EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B57600));
  seen.c_lflag = 0;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &seen), 0);
  close(fd);
  EXPECT_EQ(sim.GetTermios()->c_lflag, 0u);
}

TEST(ReplyRules, FormatAndParse) {
  int port = -1;
  std::string text;
  EXPECT_TRUE(lab::ParseCommandLine("CMD:port E1.2 show all", &port, &text));
  EXPECT_EQ(port, 2);
  EXPECT_EQ(text, "show all");
  EXPECT_FALSE(lab::ParseCommandLine("ACK:E1.2:x", &port, &text));
  EXPECT_FALSE(lab::ParseCommandLine("CMD:port E1.x y", &port, &text));
  EXPECT_EQ(lab::AckReplyRule()("CMD:port E1.0 ping"), "ACK:E1.0:ping\n");
  EXPECT_EQ(lab::AckReplyRule()("hello"), std::nullopt);
  EXPECT_EQ(lab::FormatReplyRule("ack:e1.%p:%t %% [%l]")("CMD:port E1.1 a"),
            "ack:e1.1:a % [CMD:port E1.1 a]\n");
}

// --- Processes ---------------------------------------------------------

lab::DaemonOptions Shell() {
  lab::DaemonOptions o;
  o.path = "/bin/sh";
  return o;
}

TEST_F(LabTest, ProcessOutputStatusAndSignals) {
  lab::ToolRun r = lab::RunTool({"sh", "-c", "printf 'out\\n'; printf 'err' >&2; exit 3"});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(3));
  EXPECT_EQ(r.out, "out\n");
  EXPECT_EQ(r.err, "err");

  lab::DaemonProcess d({"-c", "echo ready; exec sleep 30"}, Shell());
  ASSERT_TRUE(d.WaitForOutput("ready\n", 5s));
  EXPECT_EQ(d.WaitExit(50ms), lab::ExitStatus::Timeout());
  ASSERT_TRUE(d.Signal(SIGTERM));
  EXPECT_EQ(d.WaitExit(5s), lab::ExitStatus::Signaled(SIGTERM));
  EXPECT_FALSE(d.Signal(SIGTERM));

  lab::ToolOptions briefly;
  briefly.timeout = 100ms;
  lab::ToolRun slow = lab::RunTool({"sh", "-c", "exec sleep 30"}, briefly);
  EXPECT_EQ(slow.status, lab::ExitStatus::Timeout());
  EXPECT_LT(slow.took, 5s) << "the run was not cut at its timeout";

  // Standard input from the text given, standard output to a file named.
  lab::ToolOptions feeding;
  feeding.input = "fed\n";
  lab::ToolRun fed = lab::RunTool({"sh", "-c", "cat; echo more >&2"}, feeding);
  EXPECT_EQ(fed.status, lab::ExitStatus::Exited(0));
  EXPECT_EQ(fed.out, "fed\n");
  EXPECT_EQ(fed.err, "more\n");
  lab::ToolOptions toFull;
  toFull.stdoutPath = "/dev/full";
  lab::ToolRun full = lab::RunTool({"sh", "-c", "echo lost || exit 9"}, toFull);
  EXPECT_EQ(full.status, lab::ExitStatus::Exited(9));
  EXPECT_EQ(full.out, "");
}

TEST_F(LabTest, Argv0IsWhatTheProgramSees) {
  lab::ToolOptions renamed;
  renamed.argv0 = "renamed-shell";
  lab::ToolRun r = lab::RunTool({"sh", "-c", "echo $0"}, renamed);
  EXPECT_EQ(r.out, "renamed-shell\n");
  lab::DaemonOptions o = Shell();
  o.argv0 = "renamed-again";
  lab::DaemonProcess d({"-c", "echo $0"}, o);
  EXPECT_TRUE(d.WaitForOutput("renamed-again\n", 5s)) << d.Output();
}

TEST_F(LabTest, NestedSysDiffersFromPidOnesSys) {
  lab::WriteFile("/sys/marker", "root\n");
  lab::WriteFile("/run/lab/nested-sys/marker", "nested\n");
  lab::ToolOptions nested;
  nested.sysRoot = "/run/lab/nested-sys";
  lab::ToolRun r = lab::RunTool({"sh", "-c", "cat /sys/marker /proc/1/root/sys/marker"}, nested);
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(0));
  EXPECT_EQ(r.out, "nested\nroot\n");
  // The bind mount stayed inside the child's namespace.
  EXPECT_EQ(lab::ReadFile("/sys/marker"), "root\n");
}

TEST_F(LabTest, SpawnFailureIsReported) {
  lab::DaemonOptions o;
  o.path = "/nonexistent/e1ctld";
  EXPECT_THROW(lab::DaemonProcess({}, o), std::runtime_error);
}

TEST_F(LabTest, OrphansAreReapedButWaitedChildrenAreNot) {
  lab::DaemonProcess keeper({"-c", "exec sleep 30"}, Shell());
  // The shell leaves a background child behind, re-parented to PID 1.
  lab::ToolRun r = lab::RunTool({"sh", "-c", "sleep 0.3 >/dev/null 2>&1 & echo $!"});
  ASSERT_EQ(r.status, lab::ExitStatus::Exited(0));
  pid_t orphan = std::stoi(r.out);
  std::vector<pid_t> kids = lab::ChildPids();
  EXPECT_NE(std::find(kids.begin(), kids.end(), orphan), kids.end());
  std::this_thread::sleep_for(800ms);
  EXPECT_EQ(lab::ReapOrphans(), 1);
  EXPECT_FALSE(lab::Exists("/proc/" + std::to_string(orphan)));
  ASSERT_TRUE(keeper.Signal(SIGKILL));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(lab::ReapOrphans(), 0);  // the keeper is left to its owner
  EXPECT_EQ(keeper.WaitExit(5s), lab::ExitStatus::Signaled(SIGKILL));
}

TEST_F(LabTest, AccessWatchSeesDirectoryListings) {
  lab::MakeDirs("/sys/bus/usb/drivers/cdc_acm");
  lab::AccessWatch watch({"/sys/bus/usb/drivers", "/sys/bus/usb/drivers/cdc_acm"});
  EXPECT_TRUE(watch.Accessed().empty());
  lab::ListDirectory("/proc/1/root/sys/bus/usb/drivers/cdc_acm");
  EXPECT_EQ(watch.Accessed(), std::vector<std::string>{"/sys/bus/usb/drivers/cdc_acm"});
  EXPECT_TRUE(watch.Accessed().empty());
}

// --- The rig ---------------------------------------------------------------

TEST_F(LabTest, RigControllersAreSimulatedOrOnlyNamedInSysfs) {
  lab::Rig rig;
  lab::ControllerSpec two;
  two.pid = 0x0005;
  two.hub = "2-1";
  lab::UartSpec named;
  named.simulated = false;
  named.ttyName = "ttyACM7";
  lab::RigController& a = rig.AddController(lab::ControllerSpec{});
  lab::RigController& b = rig.AddController(two, named);
  EXPECT_EQ(a.ports, 1);
  EXPECT_EQ(b.ports, 2);
  ASSERT_NE(a.sim, nullptr);
  EXPECT_EQ(b.sim, nullptr);
  EXPECT_TRUE(lab::IsDirectory(rig.usb.InterfaceDir(a.IfName()) + "/tty/ttyACM0"));
  EXPECT_EQ(Resolve("/dev/ttyACM0"), Resolve(a.sim->SlavePath()));
  EXPECT_TRUE(lab::IsDirectory(rig.usb.InterfaceDir(b.IfName()) + "/tty/ttyACM7"));
  EXPECT_FALSE(lab::Exists("/dev/ttyACM7"));

  // Without a daemon no socket comes up, and the wait says which.
  std::string missing = rig.WaitSockets(50ms);
  EXPECT_NE(missing.find(a.PortPath(0) + " never appeared"), std::string::npos) << missing;
  EXPECT_NE(missing.find(a.AuxPath() + " never appeared"), std::string::npos) << missing;
  EXPECT_EQ(missing.find(b.IfName()), std::string::npos) << "b has no simulated UART";

  // A replug comes back as another tty, in sysfs and in /dev.
  rig.Replug(3);
  EXPECT_FALSE(lab::Exists("/dev/ttyACM0"));
  EXPECT_FALSE(lab::Exists(rig.usb.InterfaceDir(a.IfName()) + "/tty/ttyACM0"));
  EXPECT_TRUE(lab::IsDirectory(rig.usb.InterfaceDir(a.IfName()) + "/tty/ttyACM3"));
  EXPECT_EQ(Resolve("/dev/ttyACM3"), Resolve(a.sim->SlavePath()));
}

// --- Network interfaces --------------------------------------------------

TEST_F(LabTest, FollowerKeepsNetEntryNamedAfterTheInterface) {
  lab::FakeUsb usb;
  usb.AddInterface("1-1.1:1.0");
  lab::CreateVethPair("labv0", "labv0p");
  lab::NetFollower follower;
  const std::string netDir = usb.NetDir("1-1.1:1.0");
  follower.Track(netDir, "labv0");
  EXPECT_EQ(lab::ListDirectory(netDir), std::vector<std::string>{"labv0"});

  lab::SetInterfaceUp("labv0", true);
  EXPECT_TRUE(lab::IsInterfaceUp("labv0"));
  lab::SetInterfaceUp("labv0", false);
  EXPECT_FALSE(lab::IsInterfaceUp("labv0"));
  lab::RenameInterface("labv0", "labv1");
  follower.SyncNow();
  EXPECT_EQ(lab::ListDirectory(netDir), std::vector<std::string>{"labv1"});

  // The background thread follows too, within a few milliseconds.
  lab::RenameInterface("labv1", "labv2");
  bool followed = false;
  for (int i = 0; i < 200 && !followed; ++i) {
    std::this_thread::sleep_for(5ms);
    followed = lab::ListDirectory(netDir) == std::vector<std::string>{"labv2"};
  }
  EXPECT_TRUE(followed);

  lab::SetInterfaceUp("labv2", true);
  EXPECT_TRUE(lab::IsInterfaceUp("labv2"));
  lab::DeleteInterface("labv2");
  follower.SyncNow();
  EXPECT_TRUE(lab::ListDirectory(netDir).empty());
  EXPECT_FALSE(lab::InterfaceExists("labv0p"));
}

}  // namespace
