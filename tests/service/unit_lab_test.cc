// The daemon as the systemd units run it, in the lab sandbox: one daemon per
// controller as the template unit starts it, only the capabilities of the
// units' bounding set (setpriv), and the port sockets for the members of the
// units' group.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
                                                const std::string& boundingSet,
                                                bool journal = false) {
  std::string cmd = "umask " + UnitValue("UMask") + " && exec setpriv --bounding-set " +
                    boundingSet + " --inh-caps -all --regid " + std::to_string(kGroup) +
                    " --clear-groups -- \"$0\" \"$@\"";
  std::vector<std::string> shArgs = {"-c", cmd, lab::DaemonPath()};
  shArgs.insert(shArgs.end(), args.begin(), args.end());
  lab::DaemonOptions o;
  o.path = "/bin/sh";
  o.argv0 = "sh";
  o.journalStream = journal;
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

// What a member of the units' group (user kUser, in its own group and the
// units' one) met trying each step in the socket directory: 0 for success,
// else the error number.
struct MemberTries {
  int connect = -1;          // to port 0
  int reply = -1;            // a command through it answered (0) or not (-1)
  int removeConnected = -1;  // unlink port 0's socket while connected to it
  int removeIdle = -1;       // unlink port 1's socket (nobody connected)
  int moveIdle = -1;         // rename port 1's socket to another name
  int addDirectory = -1;     // mkdir a new name
  int addSocket = -1;        // bind a listener of its own to a new name
};

// Binds or connects `fd` to `path`; 0 or the error number.
int SocketTo(int fd, const std::string& path, bool listen) {
  struct sockaddr_un a;
  memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  int rc = listen ? bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a)
                  : connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
  return rc == 0 ? 0 : errno;
}

// Runs the member's tries against the sockets of `ctlIf` in a forked child
// that has given up root for kUser with the units' group.
MemberTries TryAsMember(const std::string& ctlIf) {
  const std::string port0 = lab::PortSocketPath(ctlIf, 0);
  const std::string port1 = lab::PortSocketPath(ctlIf, 1);
  const std::string dir = lab::SocketDirPath();
  const std::string moved = dir + "/moved", planted = dir + "/planted", fake = dir + "/fake";
  const char command[] = "member-here\n";
  int report[2];
  EXPECT_EQ(pipe(report), 0);
  pid_t pid = fork();
  if (pid == 0) {
    // Only system calls from here on: the test process has threads.
    close(report[0]);
    MemberTries r;
    gid_t groups[] = {static_cast<gid_t>(kGroup)};
    if (setgroups(1, groups) != 0 || setresgid(kUser, kUser, kUser) != 0 ||
        setresuid(kUser, kUser, kUser) != 0) {
      _exit(2);
    }
    // The port listens again a moment after its last client left.
    int fd = -1;
    for (int i = 0; i < 200 * lab::kSlow && r.connect != 0; ++i) {
      if (fd >= 0) close(fd);
      if (i > 0) usleep(10000);
      fd = socket(AF_UNIX, SOCK_STREAM, 0);
      r.connect = SocketTo(fd, port0, false);
    }
    if (r.connect == 0 && write(fd, command, sizeof command - 1) == sizeof command - 1) {
      struct pollfd p = {fd, POLLIN, 0};
      char got[sizeof command];
      size_t have = 0;
      while (have < sizeof command - 1 && poll(&p, 1, 5000) == 1) {
        ssize_t n = read(fd, got + have, sizeof command - 1 - have);
        if (n <= 0) break;
        have += static_cast<size_t>(n);
      }
      r.reply = have == sizeof command - 1 && memcmp(got, command, have) == 0 ? 0 : -1;
    }
    r.removeConnected = unlink(port0.c_str()) == 0 ? 0 : errno;
    r.removeIdle = unlink(port1.c_str()) == 0 ? 0 : errno;
    r.moveIdle = rename(port1.c_str(), moved.c_str()) == 0 ? 0 : errno;
    r.addDirectory = mkdir(planted.c_str(), 0755) == 0 ? 0 : errno;
    r.addSocket = SocketTo(socket(AF_UNIX, SOCK_STREAM, 0), fake, true);
    close(fd);
    ssize_t ignored = write(report[1], &r, sizeof r);
    (void)ignored;
    _exit(0);
  }
  close(report[1]);
  MemberTries r;
  struct pollfd p = {report[0], POLLIN, 0};
  if (poll(&p, 1, 20000 * lab::kSlow) != 1 || read(report[0], &r, sizeof r) != sizeof r) {
    ADD_FAILURE() << "the member's child gave no report";
    kill(pid, SIGKILL);
  }
  close(report[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return r;
}

// The socket directory's mode bits and group.
struct DirAccess {
  mode_t mode = 0;
  gid_t group = 0;
};
DirAccess SocketDirAccess() {
  struct stat st;
  EXPECT_EQ(stat(lab::SocketDirPath().c_str(), &st), 0) << strerror(errno);
  return DirAccess{static_cast<mode_t>(st.st_mode & 07777), st.st_gid};
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

  // Without CAP_NET_ADMIN the interface stays renamed; the failure is an
  // error for the journal.
  rig.Net().SyncNow();  // the rename back, in the fake sysfs before the next discovery
  d = StartAsUnit({l.ctlIf, "--debugmsg"}, BoundingSet("CAP_NET_ADMIN"), /*journal=*/true);
  EXPECT_TRUE(Serves(l.ctlIf, 0, "no-net-admin"));
  ASSERT_TRUE(d->Signal(SIGSTOP));
  lab::RenameInterface("e1p0", "moved0");
  rig.Net().SyncNow();  // the rename back, in the fake sysfs before the next discovery
  ASSERT_TRUE(d->Signal(SIGCONT));
  EXPECT_TRUE(d->WaitForOutput("<3>Error renaming 'moved0' to 'e1p0'", Ms(10000))) << d->Output();
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

  // A member reaches the control socket as the ports: the daemon's own
  // account; an outsider is refused and gets what the file system shows.
  r = E1ctlAsUser(true, {"status"});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(0)) << r.err;
  EXPECT_NE(r.out.find("  daemon: pid " + std::to_string(daemons_[0]->Pid()) + ","),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  uart:   open ttyACM0"), std::string::npos) << r.out;

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

TEST_F(UnitLab, GroupMembersUseThePortsButCannotChangeTheSocketDirectory) {
  lab::ControllerLayout l = AddController("1-1", "ttyACM0");
  daemons_.push_back(StartAsUnit({l.ctlIf}, BoundingSet()));
  ASSERT_TRUE(Serves(l.ctlIf, 0, "root-first"));
  // The daemon's sockets, and nothing else, ever.
  std::vector<std::string> sockets;
  for (const std::string& path :
       {lab::AuxSocketPath(l.ctlIf), lab::PortSocketPath(l.ctlIf, 0),
        lab::PortSocketPath(l.ctlIf, 1), lab::ControlSocketPath(l.ctlIf)}) {
    sockets.push_back(path.substr(path.rfind('/') + 1));
  }
  std::sort(sockets.begin(), sockets.end());
  auto onlyTheSockets = [&] { return lab::ListDirectory(lab::SocketDirPath()) == sockets; };

  // The directory is the daemon's alone, whatever the units' umask (0007)
  // would make of it; the group keeps its way to the sockets.
  DirAccess access = SocketDirAccess();
  EXPECT_EQ(access.mode, 0750u) << std::oct << access.mode;
  EXPECT_EQ(access.group, static_cast<gid_t>(kGroup));

  MemberTries r = TryAsMember(l.ctlIf);
  EXPECT_EQ(r.connect, 0) << strerror(r.connect);
  EXPECT_EQ(r.reply, 0) << "the member's command got no reply";
  EXPECT_EQ(r.removeConnected, EACCES) << strerror(r.removeConnected);
  EXPECT_EQ(r.removeIdle, EACCES) << strerror(r.removeIdle);
  EXPECT_EQ(r.moveIdle, EACCES) << strerror(r.moveIdle);
  EXPECT_EQ(r.addDirectory, EACCES) << strerror(r.addDirectory);
  EXPECT_EQ(r.addSocket, EACCES) << strerror(r.addSocket);
  // (A port's socket is missing for a moment while it is made again.)
  EXPECT_TRUE(lab::WaitUntil(onlyTheSockets, Ms(1000)))
      << testing::PrintToString(lab::ListDirectory(lab::SocketDirPath()));

  // The member's client has gone and the port listens again, as before;
  // the daemon did not end a second after it (as it did when the member
  // could put a directory where the socket was).
  std::this_thread::sleep_for(Ms(1500));
  EXPECT_FALSE(daemons_[0]->Exited()) << daemons_[0]->Output();
  EXPECT_TRUE(Serves(l.ctlIf, 0, "root-again"));
  EXPECT_TRUE(Serves(l.ctlIf, 1, "idle-port"));
  EXPECT_EQ(daemons_[0]->Output().find("Can't bind"), std::string::npos) << daemons_[0]->Output();
}

TEST_F(UnitLab, ASocketDirectoryLeftOpenIsMadeTheDaemonsOwn) {
  lab::ControllerLayout l = AddController("1-1", "ttyACM0");
  // Left by an earlier run: open to everybody, and of another group.
  ASSERT_EQ(mkdir(lab::SocketDirPath().c_str(), 0777), 0) << strerror(errno);
  ASSERT_EQ(chmod(lab::SocketDirPath().c_str(), 0777), 0);
  ASSERT_EQ(chown(lab::SocketDirPath().c_str(), 0, 0), 0);
  daemons_.push_back(StartAsUnit({l.ctlIf}, BoundingSet()));
  ASSERT_TRUE(Serves(l.ctlIf, 1, "root-first"));
  DirAccess access = SocketDirAccess();
  EXPECT_EQ(access.mode, 0750u) << std::oct << access.mode;
  EXPECT_EQ(access.group, static_cast<gid_t>(kGroup));
  MemberTries r = TryAsMember(l.ctlIf);
  EXPECT_EQ(r.reply, 0) << "the member's command got no reply";
  EXPECT_EQ(r.removeConnected, EACCES) << strerror(r.removeConnected);
  EXPECT_EQ(r.addDirectory, EACCES) << strerror(r.addDirectory);
  EXPECT_FALSE(daemons_[0]->Exited()) << daemons_[0]->Output();
}

}  // namespace
