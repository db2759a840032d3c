// End-to-end tests of the command line, controller discovery and the scan
// tables: the real daemon binary runs against a fake USB sysfs built fresh
// for each test, and its standard output and exit status are compared byte
// for byte.
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
#include "lab/rig_test.h"

namespace {

using namespace std::chrono_literals;
using lab::ControllerSpec;
using lab::EthFunction;
using lab::ExitStatus;

// How the daemon sees the sandbox's /sys by default.
const std::string kDevs = "/proc/1/root/sys/bus/usb/devices/";
// How a daemon with -i inside a nested mount namespace sees its own /sys.
const std::string kNsDevs = "/sys/bus/usb/devices/";
const std::string kNoMatch = "No E1 controllers matched CTLDEVICEn parameters\n";
const std::string kNoneFound = "No E1 controllers found\n";

std::string Hex4(unsigned v) {
  char buf[16];
  snprintf(buf, sizeof buf, "%4.4X", v);
  return buf;
}

// One line of the pair table.
std::string EthLine(const std::string& name, const std::string& path, int ports, unsigned pid,
                    const std::string& ifName, int index, unsigned vid = 0xC251) {
  return "ETHDEV##" + name + "##" + path + "##" + std::to_string(ports) + "##" + Hex4(vid) + "##" +
         Hex4(pid) + "##" + ifName + "##" + std::to_string(index) + "\n";
}

// One line of the hub table.
std::string HubLine(const std::string& name, const std::string& path, int index, unsigned pid,
                    unsigned vid = 0xC251) {
  return "HUBETH##" + name + "##" + path + "##" + std::to_string(index) + "##" + Hex4(vid) + "##" +
         Hex4(pid) + "\n";
}

std::string HelpText(const std::string& argv0) {
  return "\nUsage: " + argv0 +
         " [OPTION]... [CTLDEVICE], [CTLDEVICE],...\n"
         "'" +
         argv0 +
         "' monitors and controls autodetected and given ctluart(s)\n"
         "which use G703/G704 physical layer for ethernet type ports.\n\n"
         "Mandatory arguments to long options are mandatory for short options too.\n"
         "  -h, --help           outputs this help.\n"
         "  -s, --scanonly       types controlable pairs table in special format:\n"
         "                 ETHDEV##<ethname>##<ethusbpath>##<E1ports number>##<USB VID>##<USB "
         "PID>\n"
         "  -p, --prefix         types prefix and suffix for external programs\n"
         "                       for obtaining control sockets names. (See manual.)\n"
         "  -n, --search         does search additional control devices if CTLDEVICE(s) are to "
         "be given\n"
         "  -d, --daemonize      runs this program in daemon mode. (See manual.)\n"
         "  -e, --ethonhub       types additional eth port address on controller's usb hub\n"
         "  -k, --keepethnames   keep ethernet ETHPAIR ports as is, don't autorename\n"
         "  -i, --innamespace    this controller instance made from nonroot namespace\n"
         "  -q, --quiet          force silent mode\n"
         "  -v, --version        outputs version of this utility and return\n";
}

class Discovery : public lab::RigTest {
 protected:
  // A one-pair controller (pid 0004 unless told otherwise) with a named pair.
  lab::ControllerLayout AddSimple(const std::string& hub, uint16_t pid, const std::string& pairName,
                                  int chipPort = 3) {
    ControllerSpec setup;
    setup.hub = hub;
    setup.pid = pid;
    setup.chipPort = chipPort;
    setup.pairs = {EthFunction::Named(pairName)};
    return rig.usb.AddController(setup);
  }

  static lab::ToolRun Run(const std::vector<std::string>& args, lab::ToolOptions opts = {}) {
    opts.timeout = 10s;
    return lab::RunDaemon(args, opts);
  }

  // Runs the daemon normally until `marker` shows in its log, then kills
  // it and returns everything it printed.
  static std::string LogUntil(const std::vector<std::string>& args, const std::string& marker,
                              const lab::DaemonOptions& opts = {}) {
    lab::DaemonProcess d(args, opts);
    bool seen = d.WaitForOutput(marker, 10s);
    d.Signal(SIGKILL);
    d.WaitExit(10s);
    EXPECT_TRUE(seen) << "never printed: " << marker << "\noutput:\n" << d.Output();
    return d.Output();
  }
};

// Asserts that `text` begins with `prefix`, showing both on failure.
void ExpectStartsWith(const std::string& text, const std::string& prefix) {
  EXPECT_EQ(text.substr(0, prefix.size()), prefix) << "whole output:\n" << text;
}

// --- Informational modes ---------------------------------------------------

using InformationalModes = Discovery;

TEST_F(InformationalModes, HelpTextWithTheInvocationName) {
  lab::ToolOptions named;
  named.argv0 = "e1ctld";
  lab::ToolRun r = Run({"-h"}, named);
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, HelpText("e1ctld"));

  // The name is the first word of the command line as given.
  r = Run({"--help"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, HelpText(lab::DaemonPath()));
}

TEST_F(InformationalModes, HelpWinsOverEverythingAndMatchesAnyCase) {
  AddSimple("1-1", 0x0004, "eth0");
  lab::ToolOptions named;
  named.argv0 = "x";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-H"}, {"--HeLp"}, {"-v", "-h"}, {"-h", "-v"}, {"1-1.3", "-s", "--help", "-p"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    lab::ToolRun r = Run(args, named);
    EXPECT_EQ(r.status, ExitStatus::Exited(0));
    EXPECT_EQ(r.out, HelpText("x"));
  }
}

TEST_F(InformationalModes, VersionWinsOverTablesAndDiscovery) {
  AddSimple("1-1", 0x0004, "eth0");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-v"}, {"--version"}, {"-V"}, {"-v", "-s"}, {"1-1.3", "-s", "-v"}, {"-p", "-v"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    lab::ToolRun r = Run(args);
    EXPECT_EQ(r.status, ExitStatus::Exited(0));
    EXPECT_EQ(r.out, "0.9_rc4\n");
  }
}

TEST_F(InformationalModes, PrefixTableLeavesSysfsAlone) {
  lab::ControllerLayout l = AddSimple("1-1", 0x0004, "eth0");
  const std::string prefix = "PREFIX##/var/run/E1controllers/G703G704_phy\nSUFFIX##_at_ttyctrl_\n";
  {
    lab::AccessWatch watch({rig.usb.DriversRoot(), rig.usb.DriverDir(), rig.usb.DevicesRoot(),
                            rig.usb.InterfaceDir(l.ctlIf)});
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-p"}, {"--prefix"}, {"1-1.3", "-p"}, {"-p", "-n", "-s", "-e", "1-1"}, {"-P"}}) {
      SCOPED_TRACE(::testing::PrintToString(args));
      lab::ToolRun r = Run(args);
      EXPECT_EQ(r.status, ExitStatus::Exited(0));
      EXPECT_EQ(r.out, prefix);
    }
    EXPECT_EQ(watch.Accessed(), std::vector<std::string>{});
  }
  // The watch does see the daemon's sysfs reads in a scanning mode.
  lab::AccessWatch watch({rig.usb.DriverDir()});
  lab::ToolRun r = Run({"-s", "1-1.3"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_FALSE(watch.Accessed().empty());
}

// Runs the daemon with its standard output on `device`; returns its status
// and what it wrote to standard error.
lab::ToolRun RunWithOutputOn(const std::string& device, const std::vector<std::string>& args) {
  lab::ToolOptions opts;
  opts.stdoutPath = device;
  opts.timeout = 10s;
  return lab::RunDaemon(args, opts);
}

// Scripts take these outputs for the truth: one that could not be written
// must not end as a success with nothing printed.
TEST_F(InformationalModes, OutputThatCannotBeWrittenEndsWithItsErrorNumber) {
  AddSimple("1-1", 0x0004, "eth0");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-p"}, {"-s", "1-1.3"}, {"-e", "1-1.3"}, {"-h"}, {"-v"}, {"-n", "--scanonly"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    lab::ToolRun full = RunWithOutputOn("/dev/full", args);
    EXPECT_EQ(full.status, ExitStatus::Exited(ENOSPC));
    EXPECT_EQ(full.err, "");
    lab::ToolRun null = RunWithOutputOn("/dev/null", args);
    EXPECT_EQ(null.status, ExitStatus::Exited(0));
    EXPECT_EQ(null.err, "");
  }
}

// --- Nothing to run --------------------------------------------------------

using NothingFound = Discovery;

TEST_F(NothingFound, NoArgumentsEndsWithStatusTwo) {
  AddSimple("1-1", 0x0004, "eth0");
  lab::ToolRun r = Run({});
  EXPECT_EQ(r.status, ExitStatus::Exited(2));
  EXPECT_EQ(r.out, kNoMatch);
  // A bundled option is no option, and unknown options are ignored.
  r = Run({"-hv", "-x", "--bogus"});
  EXPECT_EQ(r.status, ExitStatus::Exited(2));
  EXPECT_EQ(r.out, kNoMatch);
}

TEST_F(NothingFound, QuietModesEndSilently) {
  AddSimple("1-1", 0x0004, "eth0");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-s"}, {"-e"}, {"-q"}, {"-d"}, {"--quiet", "--debugmsg"}, {"9-9", "-s"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    lab::ToolRun r = Run(args);
    EXPECT_EQ(r.status, ExitStatus::Exited(2));
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(NothingFound, UnmatchedArgumentsAreReportedPerEntry) {
  AddSimple("1-1", 0x0004, "eth0");
  rig.usb.AddDriverEntry("usb1");  // not an interface name: never listed
  lab::ToolRun r = Run({"1-1.9", "2-1"});
  EXPECT_EQ(r.status, ExitStatus::Exited(2));
  EXPECT_EQ(r.out,
            "Parameter 1: 1-1.9\n"
            "CheckForE1_QZXcontroller: path 1-1.3:1.1 doesn't match 1-1.9 \n"
            "CheckForE1_QZXcontroller: path 1-1.3:1.0 doesn't match 1-1.9 \n"
            "Parameter 2: 2-1\n"
            "CheckForE1_QZXcontroller: path 1-1.3:1.1 doesn't match 2-1 \n"
            "CheckForE1_QZXcontroller: path 1-1.3:1.0 doesn't match 2-1 \n" +
                kNoMatch);

  r = Run({"--debugmsg", "1-1.3:1.2"});
  EXPECT_EQ(r.status, ExitStatus::Exited(2));
  EXPECT_EQ(r.out,
            "Parameter 1: 1-1.3:1.2\n"
            "CheckForE1_QZXcontroller: found ctlUART at 1-1.3:1.1\n"
            "CheckForE1_QZXcontroller: path 1-1.3:1.1 doesn't match 1-1.3:1.2 \n"
            "CheckForE1_QZXcontroller: found ctlUART at 1-1.3:1.0\n"
            "CheckForE1_QZXcontroller: path 1-1.3:1.0 doesn't match 1-1.3:1.2 \n" +
                kNoMatch);
}

TEST_F(NothingFound, MissingDriverDirectory) {
  // The USB bus is there, the cdc_acm driver is not loaded.
  AddSimple("1-1", 0x0004, "eth0");
  rig.usb.RemoveDriverDir();
  rig.usb.AddDriverDir("usb");
  lab::ToolRun r = Run({"1-1.3", "--debugmsg"});
  EXPECT_EQ(r.status, ExitStatus::Exited(2));
  EXPECT_EQ(r.out, "Parameter 1: 1-1.3\nCheckForE1_QZXcontroller: scandir error\n" + kNoMatch);

  // The search finds no known driver and says nothing about it.
  r = Run({"-n", "--debugmsg"});
  EXPECT_EQ(r.status, ExitStatus::Exited(2));
  EXPECT_EQ(r.out, kNoneFound);

  // Without any driver directory the search's own listing fails.
  rig.usb.RemoveDriversRoot();
  r = Run({"-n"});
  EXPECT_EQ(r.status, ExitStatus::Exited(2));
  EXPECT_EQ(r.out, "SearchKnownE1_QZXcontrollers: scandir error\n" + kNoneFound);
}

// --- Pair table --------------------------------------------------------------

using PairTable = Discovery;

TEST_F(PairTable, EveryKnownModel) {
  // One controller per model, each behind its own hub: 1-1 ... 6-1.
  std::vector<std::string> lines;
  for (size_t i = 0; i < lab::KnownModels().size(); ++i) {
    const lab::KnownModel& m = lab::KnownModels()[i];
    std::string hub = std::to_string(i + 1) + "-1";
    ControllerSpec setup;
    setup.hub = hub;
    setup.pid = m.pid;
    setup.ttyNames = {"ttyACM" + std::to_string(i)};
    setup.pairs = {EthFunction::Named("m" + std::to_string(i) + "p0"),
                   EthFunction::Named("m" + std::to_string(i) + "p1")};
    lab::ControllerLayout l = rig.usb.AddController(setup);
    std::string block;
    for (int p = 0; p < m.ethPairs; ++p) {
      block += EthLine("m" + std::to_string(i) + "p" + std::to_string(p),
                       kDevs + hub + "." + std::to_string(m.pairPorts[p]), 1, m.pid, l.ctlIf, p);
    }
    lines.insert(lines.begin(), block);  // the highest interface name comes first
  }
  std::string expected;
  for (const std::string& b : lines) expected += b;

  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-n", "-s"}, {"--scanonly", "--search"}, {"", "-s"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    lab::ToolRun r = Run(args);
    EXPECT_EQ(r.status, ExitStatus::Exited(0));
    EXPECT_EQ(r.out, expected);
  }

  // The table column for a two-pair model.
  lab::ToolRun r = Run({"-s", "3-1.3:1.0"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, EthLine("m2p0", kDevs + "3-1.1", 1, 0x0005, "3-1.3:1.0", 0) +
                       EthLine("m2p1", kDevs + "3-1.4", 1, 0x0005, "3-1.3:1.0", 1));
}

TEST_F(PairTable, PairNames) {
  ControllerSpec setup;
  setup.pid = 0xFFFB;
  setup.pairs = {EthFunction::NoNetDir(), EthFunction::EmptyNetDir()};
  rig.usb.AddController(setup);
  setup.hub = "2-1";
  setup.pairs = {EthFunction::NamedMany({"eth0", "eth1"}),
                 EthFunction::NamedMany({"eth10", "eth9"})};
  rig.usb.AddController(setup);

  lab::ToolRun r = Run({"-n", "-s"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, EthLine("eth1", kDevs + "2-1.1", 1, 0xFFFB, "2-1.3:1.0", 0) +
                       EthLine("eth9", kDevs + "2-1.4", 1, 0xFFFB, "2-1.3:1.0", 1) +
                       EthLine("_", kDevs + "1-1.1", 1, 0xFFFB, "1-1.3:1.0", 0) +
                       EthLine("_", kDevs + "1-1.4", 1, 0xFFFB, "1-1.3:1.0", 1));
}

TEST_F(PairTable, DescendingOrderAndArgumentOrder) {
  // Two controllers on one hub: 1-1.4 is analysed before 1-1.3 in a
  // search, but arguments are taken in command-line order.
  AddSimple("1-1", 0x0003, "shared", 3);
  AddSimple("1-1", 0x0004, "shared", 4);
  const std::string c3 = EthLine("shared", kDevs + "1-1.1", 1, 0x0003, "1-1.3:1.0", 0);
  const std::string c4 = EthLine("shared", kDevs + "1-1.1", 1, 0x0004, "1-1.4:1.0", 0);

  lab::ToolRun r = Run({"-n", "-s"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, c4 + c3);
  r = Run({"1-1.3", "1-1.4", "-s"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, c3 + c4);
  r = Run({"1-1", "-s"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, c4 + c3);
}

TEST_F(PairTable, ArgumentsArePrefixesOfInterfaceNames) {
  // 1-1.3 and 1-1.30 share their hub and so their pair function.
  AddSimple("1-1", 0x0004, "a", 3);
  AddSimple("1-1", 0xFFFC, "a", 30);
  AddSimple("2-1", 0xFFFD, "c", 3);
  const std::string c3 = EthLine("a", kDevs + "1-1.1", 1, 0x0004, "1-1.3:1.0", 0);
  const std::string c30 = EthLine("a", kDevs + "1-1.1", 1, 0xFFFC, "1-1.30:1.0", 0);
  const std::string c2 = EthLine("c", kDevs + "2-1.1", 1, 0xFFFD, "2-1.3:1.0", 0);

  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  // ':' sorts after '0', so 1-1.3:1.x comes before 1-1.30:1.x.
  for (const Case& c : std::vector<Case>{
           {{"1-1.3", "-s"}, c3 + c30},
           {{"-s", "1-1.3"}, c3 + c30},
           {{"1-1.3:1.0", "-s"}, c3},
           {{"1-1.3:1.0", "1-1.3", "-s"}, c3 + c30},  // 1-1.3:1.0 is added once
           {{"-s", "1-1.3", "1-1.3:1.0"}, c3 + c30},
           {{"1-1", "1-1.3", "1-1.30:1.0", "-s"}, c3 + c30},
           {{"2", "-s", "1-1.30"}, c2 + c30},
           {{"1-1.3:1.0 and more", "-s"}, c3},  // the entry is a prefix of the argument
           {{"1-1.4", "-s"}, ""},
       }) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    lab::ToolRun r = Run(c.args);
    EXPECT_EQ(r.status, ExitStatus::Exited(c.out.empty() ? 2 : 0));
    EXPECT_EQ(r.out, c.out);
  }
}

TEST_F(PairTable, SearchOnlyWhenNoArgumentMatched) {
  AddSimple("1-1", 0x0004, "a");
  AddSimple("2-1", 0x0003, "b");
  const std::string a = EthLine("a", kDevs + "1-1.1", 1, 0x0004, "1-1.3:1.0", 0);
  const std::string b = EthLine("b", kDevs + "2-1.1", 1, 0x0003, "2-1.3:1.0", 0);
  lab::ToolRun r = Run({"1-1", "-n", "-s"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, a);
  r = Run({"7-7", "-n", "-s"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, b + a);
  // A data interface matches but is no controller: the search steps in.
  r = Run({"2-1.3:1.1", "-n", "-s"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, b + a);
}

TEST_F(PairTable, PairTableWinsOverHubTable) {
  ControllerSpec setup;
  setup.pairs = {EthFunction::Named("p0")};
  setup.hubPorts[4] = EthFunction::Named("hub0");
  rig.usb.AddController(setup);
  lab::ToolRun r = Run({"-e", "-s", "1-1.3"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, EthLine("p0", kDevs + "1-1.1", 1, 0x0004, "1-1.3:1.0", 0));
}

TEST_F(PairTable, UnusableDevicesAreDropped) {
  // Highest names first: 6-1 unknown vendor, 5-1 unknown product, 4-1 a
  // chip on a root port, 3-1 a two-pair model without its second pair, 2-1
  // a one-pair model without its pair, 1-1 a good one.
  ControllerSpec setup;
  setup.hub = "6-1";
  setup.vid = 0x1234;
  setup.pairs = {EthFunction::Named("x6")};
  rig.usb.AddController(setup);
  setup = {};
  setup.hub = "5-1";
  setup.pid = 0x0006;
  setup.pairs = {EthFunction::Named("x5")};
  rig.usb.AddController(setup);
  setup = {};
  setup.hub = "4-1";
  setup.chipPort = 0;
  setup.pairs = {EthFunction::Named("x4")};
  rig.usb.AddController(setup);
  setup = {};
  setup.hub = "3-1";
  setup.pid = 0x0005;
  setup.pairs = {EthFunction::Named("x3"), EthFunction::Absent()};
  rig.usb.AddController(setup);
  setup = {};
  setup.hub = "2-1";
  setup.pairs = {EthFunction::Absent()};
  rig.usb.AddController(setup);
  AddSimple("1-1", 0xFFFD, "good");

  const std::string good = EthLine("good", kDevs + "1-1.1", 1, 0xFFFD, "1-1.3:1.0", 0);
  lab::ToolRun r = Run({"-n", "-s"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, good);
  for (const char* hub : {"6-1", "5-1", "4-1", "3-1", "2-1"}) {
    SCOPED_TRACE(hub);
    r = Run({hub, "-s"});
    EXPECT_EQ(r.status, ExitStatus::Exited(2));
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(PairTable, ControllerAfterADroppedSecondPairTakesItsPlace) {
  ControllerSpec setup;
  setup.hub = "3-1";
  setup.pid = 0x0005;
  setup.pairs = {EthFunction::Named("dropped0"), EthFunction::Absent()};
  rig.usb.AddController(setup);
  setup.hub = "2-1";
  setup.pairs = {EthFunction::Named("two0"), EthFunction::Named("two1")};
  rig.usb.AddController(setup);
  ControllerSpec hubbed;
  hubbed.pairs = {EthFunction::Named("one0")};
  hubbed.hubPorts[4] = EthFunction::Named("hub1");
  rig.usb.AddController(hubbed);

  lab::ToolRun r = Run({"-n", "-s"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, EthLine("two0", kDevs + "2-1.1", 1, 0x0005, "2-1.3:1.0", 0) +
                       EthLine("two1", kDevs + "2-1.4", 1, 0x0005, "2-1.3:1.0", 1) +
                       EthLine("one0", kDevs + "1-1.1", 1, 0x0004, "1-1.3:1.0", 0));
  // The element prepared for the dropped controller keeps nothing of it.
  r = Run({"-n", "-e"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out,
            HubLine("(null)", "(null)", 0, 0x0005) + HubLine("hub1", kDevs + "1-1.4", 4, 0x0004));
}

TEST_F(PairTable, SoleControllerDroppedAtSecondPair) {
  ControllerSpec setup;
  setup.pid = 0xFFFB;
  setup.pairs = {EthFunction::Named("p0"), EthFunction::Absent()};
  rig.usb.AddController(setup);
  lab::ToolRun r = Run({"-n", "-s"});
  EXPECT_EQ(r.status, ExitStatus::Exited(2));
  EXPECT_EQ(r.out, "");
  // Warnings are shown by default, then the empty result.
  r = Run({"-n"});
  EXPECT_EQ(r.status, ExitStatus::Exited(2));
  EXPECT_EQ(r.out, "TTY control device has no name, device path '" + kDevs +
                       "1-1.3:1.1'!\n"
                       "IsUSBDeviceEthernetPort: scandir error : No such file or directory (2)\n"
                       "Desired eth device at " +
                       kDevs + "1-1.4 is not ethernet controller. Skipping.\n" + kNoneFound);
}

// --- Hub table ---------------------------------------------------------------

TEST_F(Discovery, HubTablePrefersPortFourThenTwo) {
  struct HubCase {
    std::string hub;
    uint16_t pid;
    std::map<int, EthFunction> ports;
  };
  const std::vector<HubCase> cases = {
      {"1-1", 0x0004, {{4, EthFunction::Named("h4")}, {2, EthFunction::Named("h2")}}},
      {"2-1", 0x0003, {{4, EthFunction::NoNetDir()}, {2, EthFunction::Named("h2b")}}},
      {"3-1", 0xFFFC, {{4, EthFunction::EmptyNetDir()}, {2, EthFunction::Named("h2c")}}},
      {"4-1", 0xFFFD, {{2, EthFunction::Named("h2d")}}},
      {"5-1", 0x0004, {{2, EthFunction::NoNetDir()}}},
      {"6-1", 0x0005, {{2, EthFunction::Named("unused")}}},
  };
  for (const HubCase& c : cases) {
    ControllerSpec setup;
    setup.hub = c.hub;
    setup.pid = c.pid;
    setup.hubPorts = c.ports;
    rig.usb.AddController(setup);
  }
  const std::string expected =
      HubLine("(null)", "(null)", 0, 0x0005) +  // no search at all
      HubLine("(null)", "(null)", 0, 0x0004) + HubLine("h2d", kDevs + "4-1.2", 2, 0xFFFD) +
      HubLine("h2c", kDevs + "3-1.2", 2, 0xFFFC) + HubLine("h2b", kDevs + "2-1.2", 2, 0x0003) +
      HubLine("h4", kDevs + "1-1.4", 4, 0x0004);
  lab::ToolRun r = Run({"-n", "-e"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, expected);
  r = Run({"--ethonhub", "-", "--search"});  // a lone "-" is an unknown option
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, expected);
  r = Run({"-e", "1-1.3"});
  EXPECT_EQ(r.status, ExitStatus::Exited(0));
  EXPECT_EQ(r.out, HubLine("h4", kDevs + "1-1.4", 4, 0x0004));
}

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
