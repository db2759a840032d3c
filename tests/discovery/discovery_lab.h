// What the discovery suites share: the lines of the daemon's tables and
// help text, and the fixture that runs the daemon against the rig's fake
// sysfs and returns what it printed.
#ifndef E1CTLD_TESTS_DISCOVERY_DISCOVERY_LAB_H_
#define E1CTLD_TESTS_DISCOVERY_DISCOVERY_LAB_H_

#include <gtest/gtest.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "lab/lab.h"
#include "lab/rig_test.h"

namespace discoverylab {

using lab::ControllerSpec;
using lab::EthFunction;
using lab::ExitStatus;

// How the daemon sees the sandbox's /sys by default.
inline const std::string kDevs = "/proc/1/root/sys/bus/usb/devices/";
// How a daemon with -i inside a nested mount namespace sees its own /sys.
inline const std::string kNsDevs = "/sys/bus/usb/devices/";
inline const std::string kNoMatch = "No E1 controllers matched CTLDEVICEn parameters\n";
inline const std::string kNoneFound = "No E1 controllers found\n";

inline std::string Hex4(unsigned v) {
  char buf[16];
  snprintf(buf, sizeof buf, "%4.4X", v);
  return buf;
}

// One line of the pair table.
inline std::string EthLine(const std::string& name, const std::string& path, int ports,
                           unsigned pid, const std::string& ifName, int index,
                           unsigned vid = 0xC251) {
  return "ETHDEV##" + name + "##" + path + "##" + std::to_string(ports) + "##" + Hex4(vid) + "##" +
         Hex4(pid) + "##" + ifName + "##" + std::to_string(index) + "\n";
}

// One line of the hub table.
inline std::string HubLine(const std::string& name, const std::string& path, int index,
                           unsigned pid, unsigned vid = 0xC251) {
  return "HUBETH##" + name + "##" + path + "##" + std::to_string(index) + "##" + Hex4(vid) + "##" +
         Hex4(pid) + "\n";
}

inline std::string HelpText(const std::string& argv0) {
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
    opts.timeout = lab::Ms(10000);
    return lab::RunDaemon(args, opts);
  }

  // Runs the daemon normally until `marker` shows in its log, then kills
  // it and returns everything it printed.
  static std::string LogUntil(const std::vector<std::string>& args, const std::string& marker,
                              const lab::DaemonOptions& opts = {}) {
    lab::DaemonProcess d(args, opts);
    bool seen = d.WaitForOutput(marker, lab::Ms(10000));
    d.Signal(SIGKILL);
    d.WaitExit(lab::Ms(10000));
    EXPECT_TRUE(seen) << "never printed: " << marker << "\noutput:\n" << d.Output();
    return d.Output();
  }
};

// Asserts that `text` begins with `prefix`, showing both on failure.
inline void ExpectStartsWith(const std::string& text, const std::string& prefix) {
  EXPECT_EQ(text.substr(0, prefix.size()), prefix) << "whole output:\n" << text;
}

}  // namespace discoverylab

#endif  // E1CTLD_TESTS_DISCOVERY_DISCOVERY_LAB_H_
