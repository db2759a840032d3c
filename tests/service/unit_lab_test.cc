// The daemon as the systemd units run it, in the lab sandbox: one daemon per
// controller as the template unit starts it, only the capabilities of the
// units' bounding set (setpriv), and the port sockets for the members of the
// units' group.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"
#include "lab/rig_test.h"

namespace {

using namespace std::chrono_literals;
using lab::Ms;

// A group id that no process of the sandbox has: the units' group.
constexpr int kGroup = 4242;
constexpr int kUser = 1000;

// The value of `key=` in the template unit of the tree.
std::string UnitValue(const std::string& key) {
  std::string unit = lab::ReadFile(E1_SOURCE_DIR "/packaging/e1ctld@.service");
  std::string value;
  size_t at = 0;
  while ((at = unit.find("\n" + key + "=", at)) != std::string::npos) {
    at += key.size() + 2;
    value = unit.substr(at, unit.find('\n', at) - at);
  }
  return value;
}

// setpriv's --bounding-set for the unit's CapabilityBoundingSet, less the
// capabilities in `drop` (e.g. "CAP_SYS_PTRACE").
std::string BoundingSet(const std::string& drop = "") {
  std::string bounding = "-all";
  std::string caps = UnitValue("CapabilityBoundingSet");
  EXPECT_FALSE(caps.empty());
  size_t start = 0;
  while (start < caps.size()) {
    size_t end = caps.find(' ', start);
    if (end == std::string::npos) end = caps.size();
    std::string cap = caps.substr(start, end - start);
    start = end + 1;
    if (cap.empty() || cap == drop) continue;
    EXPECT_EQ(cap.rfind("CAP_", 0), 0u) << cap;
    std::string name = cap.substr(4);
    for (char& c : name) c = static_cast<char>(tolower(c));
    bounding += ",+" + name;
  }
  return bounding;
}

// The daemon as the units start it: the units' umask, their group, only the
// bounding set given.
std::unique_ptr<lab::DaemonProcess> StartAsUnit(const std::vector<std::string>& args,
                                                const std::string& boundingSet) {
  std::string cmd = "umask " + UnitValue("UMask") + " && exec setpriv --bounding-set " +
                    boundingSet + " --inh-caps -all --regid " + std::to_string(kGroup) +
                    " --clear-groups -- \"$0\" \"$@\"";
  std::vector<std::string> shArgs = {"-c", cmd, lab::DaemonPath()};
  shArgs.insert(shArgs.end(), args.begin(), args.end());
  lab::DaemonOptions o;
  o.path = "/bin/sh";
  o.argv0 = "sh";
  return std::make_unique<lab::DaemonProcess>(shArgs, o);
}

// e1ctl as user kUser, a member of the units' group or of no group.
lab::ToolRun E1ctlAsUser(bool member, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"setpriv", "--reuid", std::to_string(kUser), "--regid",
                                   std::to_string(kUser)};
  if (member) {
    argv.insert(argv.end(), {"--groups", std::to_string(kGroup)});
  } else {
    argv.push_back("--clear-groups");
  }
  argv.push_back("--");
  for (const std::string& a : lab::E1ctlCommand(args)) argv.push_back(a);
  return lab::RunTool(argv);
}

// Controllers with simulated control UARTs, one daemon each.
class UnitLab : public lab::RigTest {
 protected:
  // The daemons go before the rig's controllers.
  void TearDown() override { daemons_.clear(); }

  // A two-port controller behind hub `hub` whose tty is `tty`.
  lab::ControllerLayout AddController(const std::string& hub, const std::string& tty) {
    lab::ControllerSpec model;
    model.pid = lab::kTwoPortPid;
    model.hub = hub;
    model.pairs = {lab::EthFunction::NoNetDir(), lab::EthFunction::NoNetDir()};
    lab::UartSpec uart;
    uart.ttyName = tty;
    uart.reply = lab::AckReplyRule();
    return rig.AddController(model, uart).layout;
  }

  // A command through port `port` of `ctlIf` comes back as its reply.
  static bool Serves(const std::string& ctlIf, int port, const std::string& command) {
    lab::PortClient c;
    if (!c.ConnectWithin(lab::PortSocketPath(ctlIf, port), Ms(10000))) return false;
    return c.Send(command + "\n") && c.ReadUntil(command + "\n", Ms(5000));
  }

  std::vector<std::unique_ptr<lab::DaemonProcess>> daemons_;
};

TEST_F(UnitLab, OneDaemonPerControllerServeSideBySide) {
  lab::ControllerLayout first = AddController("1-1", "ttyACM0");
  lab::ControllerLayout second = AddController("2-1", "ttyACM1");
  // As e1ctld@1-1.3:1.0.service and e1ctld@2-1.3:1.0.service start them.
  for (const lab::ControllerLayout* l : {&first, &second}) {
    daemons_.push_back(std::make_unique<lab::DaemonProcess>(std::vector<std::string>{l->ctlIf}));
  }
  EXPECT_TRUE(Serves(first.ctlIf, 0, "first-0"));
  EXPECT_TRUE(Serves(first.ctlIf, 1, "first-1"));
  EXPECT_TRUE(Serves(second.ctlIf, 0, "second-0"));
  EXPECT_TRUE(Serves(second.ctlIf, 1, "second-1"));
  EXPECT_TRUE(Sim(0).WaitForSubstring("CMD:port E1.1 first-1\n", Ms(5000)));
  EXPECT_EQ(Sim(0).Received().find("second"), std::string::npos);
  EXPECT_TRUE(Sim(1).WaitForSubstring("CMD:port E1.0 second-0\n", Ms(5000)));
  EXPECT_EQ(Sim(1).Received().find("first"), std::string::npos);

  // Stopping the first leaves the second serving, its lock in place.
  ASSERT_TRUE(daemons_[0]->Signal(SIGTERM));
  EXPECT_EQ(daemons_[0]->WaitExit(Ms(10000)), lab::ExitStatus::Exited(0)) << daemons_[0]->Output();
  EXPECT_FALSE(lab::Exists(lab::LockFilePath(first.ctlIf)));
  EXPECT_TRUE(lab::Exists(lab::LockFilePath(second.ctlIf)));
  EXPECT_TRUE(Serves(second.ctlIf, 1, "still-there"));
  EXPECT_FALSE(daemons_[1]->Exited());
}

TEST_F(UnitLab, TheUnitsCapabilitiesAreEnoughAndEachIsNeeded) {
  rig.ForgetInterfaces({"moved0"});
  rig.AddVethPair("e1p0");
  rig.AddVethPair("e1p1");
  lab::ControllerLayout l = AddController("1-1", "ttyACM0");
  rig.TrackPair(0, 0, "e1p0");
  rig.TrackPair(0, 1, "e1p1");
  std::string lockPath = lab::LockFilePath(l.ctlIf);
  // The lock file that a killed daemon leaves: no permission bits.
  auto leaveLockFile = [&] {
    int fd = open(lockPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    close(fd);
  };

  // Without CAP_SYS_PTRACE the group differs from process 1's, and
  // /proc/1/root (sysfs) is out of reach: nothing found.
  leaveLockFile();
  auto d = StartAsUnit({l.ctlIf}, BoundingSet("CAP_SYS_PTRACE"));
  EXPECT_EQ(d->WaitExit(Ms(10000)), lab::ExitStatus::Exited(2)) << d->Output();
  // Without CAP_DAC_OVERRIDE the lock file left behind cannot be opened.
  d = StartAsUnit({l.ctlIf}, BoundingSet("CAP_DAC_OVERRIDE"));
  EXPECT_EQ(d->WaitExit(Ms(10000)), lab::ExitStatus::Exited(13)) << d->Output();
  EXPECT_NE(d->Output().find("can't open LOCKFILE '" + lockPath + "', error: Permission denied"),
            std::string::npos)
      << d->Output();

  // With the unit's set: found through /proc/1/root, lock file taken over,
  // ports served, an interface renamed back.
  d = StartAsUnit({l.ctlIf, "--debugmsg"}, BoundingSet());
  EXPECT_TRUE(Serves(l.ctlIf, 0, "caps-0"));
  EXPECT_TRUE(Serves(l.ctlIf, 1, "caps-1"));
  ASSERT_TRUE(d->Signal(SIGSTOP));
  lab::RenameInterface("e1p0", "moved0");
  rig.Net().SyncNow();  // the rename back, in the fake sysfs before the next discovery
  ASSERT_TRUE(d->Signal(SIGCONT));
  EXPECT_TRUE(d->WaitForOutput("Port 'moved0' renamed to 'e1p0'", Ms(10000))) << d->Output();
  EXPECT_TRUE(lab::WaitUntil([] { return lab::InterfaceExists("e1p0"); }, Ms(5000)));
  EXPECT_EQ(d->Output().find("Error renaming"), std::string::npos) << d->Output();
  ASSERT_TRUE(d->Signal(SIGTERM));
  EXPECT_EQ(d->WaitExit(Ms(10000)), lab::ExitStatus::Exited(0)) << d->Output();
  EXPECT_FALSE(lab::Exists(lockPath));

  // Without CAP_NET_ADMIN the interface stays renamed.
  rig.Net().SyncNow();  // the rename back, in the fake sysfs before the next discovery
  d = StartAsUnit({l.ctlIf, "--debugmsg"}, BoundingSet("CAP_NET_ADMIN"));
  EXPECT_TRUE(Serves(l.ctlIf, 0, "no-net-admin"));
  ASSERT_TRUE(d->Signal(SIGSTOP));
  lab::RenameInterface("e1p0", "moved0");
  rig.Net().SyncNow();  // the rename back, in the fake sysfs before the next discovery
  ASSERT_TRUE(d->Signal(SIGCONT));
  EXPECT_TRUE(d->WaitForOutput("Error renaming", Ms(10000))) << d->Output();
  EXPECT_TRUE(lab::InterfaceExists("moved0"));
  d.reset();
}

TEST_F(UnitLab, GroupMembersUseThePortsOthersAreToldWhichGroup) {
  lab::ControllerLayout l = AddController("1-1", "ttyACM0");
  daemons_.push_back(StartAsUnit({l.ctlIf}, BoundingSet()));
  ASSERT_TRUE(Serves(l.ctlIf, 0, "root-first"));

  lab::ToolRun r = E1ctlAsUser(true, {"-c", l.ctlIf, "-p", "1", "-n", "1", "member"});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(0)) << r.err;
  EXPECT_EQ(r.out, "member\n");
  EXPECT_TRUE(Sim(0).WaitForSubstring("CMD:port E1.1 member\n", Ms(5000)));

  struct group* g = getgrgid(kGroup);
  std::string groupName =
      g != nullptr ? "'" + std::string(g->gr_name) + "'" : "with id " + std::to_string(kGroup);
  r = E1ctlAsUser(false, {"-S", lab::PortSocketPath(l.ctlIf, 1), "-w", "0", "outsider"});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(1));
  EXPECT_NE(r.err.find("permission denied"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("root and the members of group " + groupName), std::string::npos) << r.err;
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Sim(0).Received().find("outsider"), std::string::npos);
  // Listing: the socket directory refuses an outsider, who is told which
  // group may, not that the daemon may not be running.
  r = E1ctlAsUser(false, {"-l"});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(1)) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("permission denied: " + lab::SocketDirPath() +
                       " may be used by root and the members of group " + groupName + " only"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("running"), std::string::npos) << r.err;
  r = E1ctlAsUser(true, {"-l"});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(0)) << r.err;
  EXPECT_NE(r.out.find(lab::PortSocketPath(l.ctlIf, 1)), std::string::npos) << r.out;

  // A member cannot open the lock file (no permission bits) yet learns the
  // holder from /proc/locks, and says where it came from.
  r = E1ctlAsUser(true, {"status"});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(0)) << r.err;
  std::string holder = "held by pid " + std::to_string(daemons_[0]->Pid()) + " (e1ctld)";
  EXPECT_NE(r.out.find("  lock:   " + holder +
                       " [from /proc/locks: the lock file is not readable: Permission denied]"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  port 0: served " + lab::PortSocketPath(l.ctlIf, 0)), std::string::npos)
      << r.out;

  // A killed daemon leaves its socket files and its lock file (unlocked,
  // unreadable for a member): stale, not busy.
  ASSERT_TRUE(daemons_[0]->Signal(SIGKILL));
  ASSERT_EQ(daemons_[0]->WaitExit(Ms(10000)), lab::ExitStatus::Signaled(SIGKILL));
  ASSERT_TRUE(lab::Exists(lab::LockFilePath(l.ctlIf)));
  r = E1ctlAsUser(true, {"-c", l.ctlIf, "-w", "0", "late"});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(6)) << r.err;
  r = E1ctlAsUser(true, {"status", l.ctlIf});
  EXPECT_NE(r.out.find("  port 1: stale "), std::string::npos) << r.out;
}

}  // namespace
