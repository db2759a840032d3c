// The pair and hub tables (-s, -e): which controllers and functions the
// daemon lists, in which order, and which it drops, against a fake sysfs
// built fresh for each test.
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
#include "tests/discovery/discovery_lab.h"

namespace {

using namespace std::chrono_literals;
using namespace discoverylab;
using lab::ControllerSpec;
using lab::EthFunction;
using lab::ExitStatus;

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

}  // namespace
