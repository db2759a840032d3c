// Discovery step by step as the daemon logs it, the names of its run
// files, and discovery from a nested mount namespace (-i): the real daemon
// binary against a fake USB sysfs built fresh for each test.
#include "tests/discovery/discovery_lab.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"

namespace {

using namespace std::chrono_literals;
using namespace discoverylab;
using lab::ControllerSpec;
using lab::EthFunction;
using lab::ExitStatus;

// --- Discovery log -------------------------------------------------------------

using DiscoveryLog = Discovery;

TEST_F(DiscoveryLog, AcceptedControllerStepByStep) {
  ControllerSpec setup;
  setup.pairs = {EthFunction::Named("e1a")};
  setup.hubPorts[4] = EthFunction::Named("hubeth");
  rig.usb.AddController(setup);
  const std::string expected =
      "SearchUSBPathDir: found ctlUART at 1-1.3:1.1\n"
      "Analyzing 1-1.3:1.1 for E1 control capability...\n"
      "Devpath=" +
      kDevs +
      "1-1.3:1.1\n"
      "TTY control device has no name, device path '" +
      kDevs +
      "1-1.3:1.1'!\n"
      "SearchUSBPathDir: found ctlUART at 1-1.3:1.0\n"
      "Analyzing 1-1.3:1.0 for E1 control capability...\n"
      "Devpath=" +
      kDevs +
      "1-1.3:1.0\n"
      "TTY controller devname: ttyACM0\n"
      "Controller chip path=" +
      kDevs +
      "1-1.3\n"
      "VID=C251 PID=0004\n"
      "Controller hub path=" +
      kDevs +
      "1-1\n"
      "Checking variant for ethernet non-controlable device at " +
      kDevs +
      "1-1.4\n"
      "Found non-controlable eth device 'hubeth' on path '" +
      kDevs +
      "1-1.4' .\n"
      "Checking for ethernet device at " +
      kDevs +
      "1-1.1\n"
      "Found conjucted device e1a on path " +
      kDevs +
      "1-1.1\nAllocating E1 device...\n"
      "Found 1 E1 controller\n\n"
      "Controller #1 INFO:\n"
      "Controller device name: ttyACM0 (/dev/ttyACM0)\n"
      "USB Vendor ID: C251, Product ID: 0004\n"
      "Path to controller USB Hub device: " +
      kDevs +
      "1-1\n"
      "E1 port(s) controlable by #1: 1\n"
      "ETH pair name #1: e1a\n";
  ExpectStartsWith(LogUntil({"--debugmsg", "-n"}, "ETH pair name #1: e1a\n"), expected);

  // By default only warnings and worse are shown: a found controller logs
  // nothing at all during discovery (no tty node: the open fails later).
  std::string plain = LogUntil({"1-1.3:1.0"}, "Can't open controller device");
  ExpectStartsWith(plain,
                   "Parameter 1: 1-1.3:1.0\n"
                   "CheckForE1_QZXcontroller: path 1-1.3:1.1 doesn't match 1-1.3:1.0 \n"
                   "Can't open controller device /dev/ttyACM0: No such file or directory\n");
}

// The names here are written out in full on purpose: every other suite
// takes them from the lab rig, which forms them from the daemon's own
// constants.
TEST_F(DiscoveryLog, RunFilesAreNamedAfterTheWholeEntryName) {
  ControllerSpec setup;
  setup.pairs = {EthFunction::Named("e1a")};
  const std::string ctlIf = rig.AddController(setup).IfName();
  lab::DaemonProcess& d = rig.StartDaemon({"-n"});
  const std::vector<std::string> files = {
      "/var/run/KESTRD_LOCK_1-1.3:1.0",
      "/var/run/E1controllers/G703G704_AUX_PIPE_1-1.3:1.0",
      "/var/run/E1controllers/G703G704_phy0_at_ttyctrl_1-1.3:1.0",
  };
  EXPECT_EQ(files, (std::vector<std::string>{lab::LockFilePath(ctlIf), lab::AuxSocketPath(ctlIf),
                                             lab::PortSocketPath(ctlIf, 0)}))
      << "the lab's names differ from the daemon's";
  for (const std::string& f : files) {
    bool there = false;
    for (int i = 0; i < 300 && !there; ++i) {
      there = lab::Exists(f);
      if (!there) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(there) << f << "\nlog:\n" << d.Output();
  }
  // One E1 port on this model: no second port socket.
  EXPECT_FALSE(lab::Exists("/var/run/E1controllers/G703G704_phy1_at_ttyctrl_1-1.3:1.0"));
}

TEST_F(DiscoveryLog, HubCandidatesAndNamelessPair) {
  ControllerSpec setup;
  setup.pid = 0xFFFC;
  setup.ttyNames = {"ttyACM10", "ttyACM9"};
  setup.pairs = {EthFunction::NoNetDir()};
  setup.hubPorts[4] = EthFunction::NoNetDir();
  rig.usb.AddController(setup);
  const std::string expected =
      "Parameter 1: 1-1.3:1.0\n"
      "CheckForE1_QZXcontroller: found ctlUART at 1-1.3:1.1\n"
      "CheckForE1_QZXcontroller: path 1-1.3:1.1 doesn't match 1-1.3:1.0 \n"
      "CheckForE1_QZXcontroller: found ctlUART at 1-1.3:1.0\n"
      "Analyzing 1-1.3:1.0 for E1 control capability...\n"
      "Devpath=" +
      kDevs +
      "1-1.3:1.0\n"
      "TTY controller devname: ttyACM9\n"
      "Controller chip path=" +
      kDevs +
      "1-1.3\n"
      "VID=C251 PID=FFFC\n"
      "Controller hub path=" +
      kDevs +
      "1-1\n"
      "Checking variant for ethernet non-controlable device at " +
      kDevs +
      "1-1.4\n"
      "Desired non-controlable device at " +
      kDevs +
      "1-1 net controller without name. "
      "Skipping.\n"
      "Checking variant for ethernet non-controlable device at " +
      kDevs +
      "1-1.2\n"
      "IsUSBDeviceEthernetPort: scandir error : No such file or directory (2)\n"
      "Desired non-controlable device at " +
      kDevs +
      "1-1 is not ethernet controller. "
      "Skipping.\n"
      "Checking for ethernet device at " +
      kDevs +
      "1-1.1\n"
      "Found conjucted device with missing name on path " +
      kDevs +
      "1-1.1\n"
      "Allocating E1 device...\n";
  ExpectStartsWith(LogUntil({"--debugmsg", "1-1.3:1.0"}, "Allocating E1 device...\n"), expected);
}

TEST_F(DiscoveryLog, DropReasons) {
  // Analysed in this order: 2-1.3 (identifiers of no known model, printed
  // in upper case), then 1-1 (a chip on a root port: no hub).
  ControllerSpec setup;
  setup.hub = "2-1";
  setup.vid = 0xab12;
  setup.pid = 0x00cd;
  setup.ttyNames = {"ttyACM1"};
  setup.dataInterface = false;
  rig.usb.AddController(setup);
  setup = {};
  setup.hub = "1-1";
  setup.chipPort = 0;
  setup.dataInterface = false;
  rig.usb.AddController(setup);

  lab::ToolRun r = Run({"--debugmsg", "-n"});
  EXPECT_EQ(r.status, ExitStatus::Exited(2));
  EXPECT_EQ(r.out,
            "SearchUSBPathDir: found ctlUART at 2-1.3:1.0\n"
            "Analyzing 2-1.3:1.0 for E1 control capability...\n"
            "Devpath=" +
                kDevs +
                "2-1.3:1.0\n"
                "TTY controller devname: ttyACM1\n"
                "Controller chip path=" +
                kDevs +
                "2-1.3\n"
                "VID=AB12 PID=00CD\n"
                "Controller hub path=" +
                kDevs +
                "2-1\n"
                "No ethernets found by VID=AB12/PID=00CD, needs workaround!\n"
                "SearchUSBPathDir: found ctlUART at 1-1:1.0\n"
                "Analyzing 1-1:1.0 for E1 control capability...\n"
                "Devpath=" +
                kDevs +
                "1-1:1.0\n"
                "TTY controller devname: ttyACM0\n"
                "Controller chip path=" +
                kDevs +
                "1-1\n"
                "VID=C251 PID=0004\n"
                "Invalid path for controller hub: " +
                kDevs + "1-1\n" + kNoneFound);
}

TEST_F(DiscoveryLog, TtyDirWithoutAcmName) {
  ControllerSpec setup;
  setup.ttyNames = {};  // an empty tty directory
  setup.dataInterface = false;
  rig.usb.AddController(setup);
  lab::ToolRun r = Run({"--debugmsg", "-n"});
  EXPECT_EQ(r.status, ExitStatus::Exited(2));
  // The lookup line is logged although nothing was found ("(null)" is how
  // this daemon shows the missing name).
  EXPECT_EQ(r.out,
            "SearchUSBPathDir: found ctlUART at 1-1.3:1.0\n"
            "Analyzing 1-1.3:1.0 for E1 control capability...\n"
            "Devpath=" +
                kDevs +
                "1-1.3:1.0\n"
                "TTY controller devname: (null)\n"
                "TTY control device has no name, device path '" +
                kDevs + "1-1.3:1.0'!\n" + kNoneFound);
}

TEST_F(DiscoveryLog, TwoPairModelAndMissingSecondPair) {
  ControllerSpec setup;
  setup.pid = 0x0005;
  setup.dataInterface = false;
  setup.pairs = {EthFunction::Named("p0"), EthFunction::Absent()};
  setup.hubPorts[2] = EthFunction::Named("never");  // no hub Ethernet search for this model
  rig.usb.AddController(setup);
  lab::ToolRun r = Run({"--debugmsg", "-n"});
  EXPECT_EQ(r.status, ExitStatus::Exited(2));
  EXPECT_EQ(r.out,
            "SearchUSBPathDir: found ctlUART at 1-1.3:1.0\n"
            "Analyzing 1-1.3:1.0 for E1 control capability...\n"
            "Devpath=" +
                kDevs +
                "1-1.3:1.0\n"
                "TTY controller devname: ttyACM0\n"
                "Controller chip path=" +
                kDevs +
                "1-1.3\n"
                "VID=C251 PID=0005\n"
                "Controller hub path=" +
                kDevs +
                "1-1\n"
                "Checking for ethernet device at " +
                kDevs +
                "1-1.1\n"
                "Found conjucted device p0 on path " +
                kDevs +
                "1-1.1\nAllocating E1 device...\n"
                "Checking for ethernet device at " +
                kDevs +
                "1-1.4\n"
                "IsUSBDeviceEthernetPort: scandir error : No such file or directory (2)\n"
                "Desired eth device at " +
                kDevs + "1-1.4 is not ethernet controller. Skipping.\n" + kNoneFound);
}

// --- Nested namespace (-i) ---------------------------------------------------------

// PID 1's /sys holds one complete controller at 2-1.3 and the net name of
// a function at 1-1.4; the nested /sys holds a two-pair controller at
// 1-1.3 whose second pair has no net entry of its own.
class NestedNamespace : public Discovery {
 protected:
  void SetUp() override {
    Discovery::SetUp();
    AddSimple("2-1", 0x0004, "rootc");
    rig.usb.AddEthFunction("1-1.4", EthFunction::Named("rootp1"));
    nested_ = std::make_unique<lab::FakeUsb>(kNestedRoot);
    ControllerSpec setup;
    setup.pid = 0x0005;
    setup.pairs = {EthFunction::Named("nsp0"), EthFunction::NoNetDir()};
    nested_->AddController(setup);
    opts_.sysRoot = kNestedRoot;
    runOpts_.sysRoot = kNestedRoot;
  }

  static constexpr const char* kNestedRoot = "/run/lab/nested-sys";
  std::unique_ptr<lab::FakeUsb> nested_;
  lab::DaemonOptions opts_;   // for a daemon that runs on
  lab::ToolOptions runOpts_;  // for a run to the end
};

TEST_F(NestedNamespace, OwnSysfsWithRootNamespaceNames) {
  lab::ToolRun r = Run({"-i", "-n", "-s"}, runOpts_);
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, EthLine("nsp0", kNsDevs + "1-1.1", 1, 0x0005, "1-1.3:1.0", 0) +
                       EthLine("rootp1", kDevs + "1-1.4", 1, 0x0005, "1-1.3:1.0", 1));

  // Without -i the nested daemon reads PID 1's tree.
  r = Run({"-n", "-s"}, runOpts_);
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, EthLine("rootc", kDevs + "2-1.1", 1, 0x0004, "2-1.3:1.0", 0));
  r = Run({"--innamespace", "2-1", "-s"}, runOpts_);
  EXPECT_EQ(r.status, ExitStatus::Exited(2));
  EXPECT_EQ(r.out, "");
}

TEST_F(NestedNamespace, RootNamespaceRetryLog) {
  const std::string expected =
      "SearchUSBPathDir: found ctlUART at 1-1.3:1.1\n"
      "Analyzing 1-1.3:1.1 for E1 control capability...\n"
      "Devpath=" +
      kNsDevs +
      "1-1.3:1.1\n"
      "TTY control device has no name, device path '" +
      kNsDevs +
      "1-1.3:1.1'!\n"
      "SearchUSBPathDir: found ctlUART at 1-1.3:1.0\n"
      "Analyzing 1-1.3:1.0 for E1 control capability...\n"
      "Devpath=" +
      kNsDevs +
      "1-1.3:1.0\n"
      "TTY controller devname: ttyACM0\n"
      "Controller chip path=" +
      kNsDevs +
      "1-1.3\n"
      "VID=C251 PID=0005\n"
      "Controller hub path=" +
      kNsDevs +
      "1-1\n"
      "Checking for ethernet device at " +
      kNsDevs +
      "1-1.1\n"
      "Found conjucted device nsp0 on path " +
      kNsDevs +
      "1-1.1\nAllocating E1 device...\n"
      "Checking for ethernet device at " +
      kNsDevs +
      "1-1.4\n"
      "Trying to find name in root namespace:\n"
      "\tFound eth name 'rootp1' in root namespace.\n"
      "Found conjucted device rootp1 on path " +
      kDevs +
      "1-1.4\nAllocating E1 device...\n"
      "Found 1 E1 controller\n\n";
  ExpectStartsWith(LogUntil({"--debugmsg", "-n", "-i"}, "Found 1 E1 controller\n\n", opts_),
                   expected);
}

TEST_F(NestedNamespace, NameMissingInBothTrees) {
  // PID 1's tree: the function at 1-1.4 is gone, then present without name.
  rig.usb.RemoveDevice("1-1.4");
  const std::string head = "Checking for ethernet device at " + kNsDevs +
                           "1-1.4\n"
                           "Trying to find name in root namespace:\n";
  const std::string tail = "Found conjucted device with missing name on path " + kNsDevs +
                           "1-1.4\n"
                           "Allocating E1 device...\n";
  std::string out = LogUntil({"--debugmsg", "-n", "-i"}, "Found 1 E1 controller", opts_);
  EXPECT_NE(out.find(head +
                     "IsUSBDeviceEthernetPort: scandir error : No such file or directory (2)\n"
                     "\tNot found.\n" +
                     tail),
            std::string::npos)
      << out;

  rig.usb.AddEthFunction("1-1.4", EthFunction::NoNetDir());
  out = LogUntil({"--debugmsg", "-n", "-i"}, "Found 1 E1 controller", opts_);
  EXPECT_NE(out.find(head + tail), std::string::npos) << out;

  lab::ToolRun r = Run({"-i", "1-1.3", "-s"}, runOpts_);
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, EthLine("nsp0", kNsDevs + "1-1.1", 1, 0x0005, "1-1.3:1.0", 0) +
                       EthLine("_", kNsDevs + "1-1.4", 1, 0x0005, "1-1.3:1.0", 1));
}

}  // namespace
