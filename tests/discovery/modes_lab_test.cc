// The daemon's informational modes (help, version, the socket name table)
// and its runs that find nothing to drive, against a fake sysfs built
// fresh for each test; output and exit status compared byte for byte.
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
using lab::ExitStatus;

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

}  // namespace
