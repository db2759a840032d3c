// End-to-end tests of the running daemon in the lab sandbox: every test
// builds fake controllers in sysfs, plays their control UARTs with
// simulated controllers on ptys, starts the real e1ctld and watches what
// it does with lock files, signals, terminal settings and sockets.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/run_paths.h"
#include "lab/daemon_process.h"
#include "lab/fake_usb.h"
#include "lab/fs.h"
#include "lab/port_client.h"
#include "lab/process.h"
#include "lab/rig_test.h"
#include "lab/sandbox.h"
#include "lab/sim_controller.h"
#include "lab/wait.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lab::CountOf;
using lab::WaitUntil;
using std::chrono::milliseconds;

using lab::ElapsedMs;
using lab::kSlow;
using lab::Ms;

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The lock that keeps anyone else from write-locking the whole file, as
// F_GETLK reports it; nothing when the file cannot be opened.
std::optional<struct flock> ConflictingLock(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  int rc = fcntl(fd, F_GETLK, &fl);
  close(fd);
  if (rc != 0) return std::nullopt;
  return fl;
}

// Pid of the process that holds a lock on the file; 0 when the file is
// missing or nobody holds one.
pid_t LockHolder(const std::string& path) {
  std::optional<struct flock> fl = ConflictingLock(path);
  return fl && fl->l_type != F_UNLCK ? fl->l_pid : 0;
}

// True when a UNIX stream socket listens at `path` (the socket table of
// the sandbox's network namespace; listening sockets carry the accept flag
// 00010000).
bool IsListening(const std::string& path) {
  std::string table = lab::ReadFile("/proc/net/unix");
  size_t pos = 0;
  while (pos < table.size()) {
    size_t end = table.find('\n', pos);
    if (end == std::string::npos) end = table.size();
    std::string line = table.substr(pos, end - pos);
    pos = end + 1;
    char flags[16] = "", name[256] = "";
    unsigned type = 0;
    if (sscanf(line.c_str(), "%*s %*s %*s %15s %x %*s %*s %255s", flags, &type, name) == 3 &&
        path == name && type == SOCK_STREAM && strcmp(flags, "00010000") == 0) {
      return true;
    }
  }
  return false;
}

std::string ReadLink(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n < 0 ? std::string("<") + strerror(errno) + ">"
               : std::string(buf, static_cast<size_t>(n));
}

std::string ProcessName(pid_t pid) {
  std::string name = lab::ReadFile("/proc/" + std::to_string(pid) + "/comm");
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

using Client = lab::PortClient;

// Runs `body` on a thread until the object goes; for clients and
// controllers that keep the daemon busy.
class Flood {
 public:
  explicit Flood(std::function<void(std::stop_token)> body) : thread_(std::move(body)) {}

 private:
  std::jthread thread_;
};

using Controller = lab::RigController;

class SupervisorLab : public lab::RigTest {
 protected:
  // A known one-port controller on `hub` whose control UART is a simulated
  // controller presented as /dev/<ttyName>.
  Controller& AddSimulated(const std::string& hub, const std::string& ttyName = "ttyACM0",
                           lab::ReplyRule reply = lab::AckReplyRule()) {
    lab::ControllerSpec setup;
    setup.hub = hub;
    lab::UartSpec uart;
    uart.ttyName = ttyName;
    uart.reply = std::move(reply);
    return rig.AddController(setup, uart);
  }

  // A controller whose sysfs entry names `ttyName` but that has no device
  // node at all.
  Controller& AddWithoutNode(const std::string& hub, const std::string& ttyName) {
    lab::ControllerSpec setup;
    setup.hub = hub;
    lab::UartSpec uart;
    uart.simulated = false;
    uart.ttyName = ttyName;
    return rig.AddController(setup, uart);
  }

  // Waits until the daemon holds the lock of the controller and serves its
  // auxiliary socket, i.e. it has passed its start-up.
  static void WaitServing(const lab::DaemonProcess& d, const Controller& c) {
    ASSERT_TRUE(WaitUntil([&] { return LockHolder(c.LockPath()) == d.Pid(); }, Ms(3000)))
        << "lock of " << c.IfName() << " not taken by pid " << d.Pid() << "; output:\n"
        << d.Output();
    ASSERT_TRUE(WaitUntil([&] { return IsListening(c.AuxPath()); }, Ms(3000)))
        << "no auxiliary socket; output:\n"
        << d.Output();
  }
};

// ---------------------------------------------------------------------------
// Lock files

TEST_F(SupervisorLab, LockFileHeldByDaemonAndSecondDaemonStopsWithoutRemovingIt) {
  Controller& c = AddSimulated("1-1");
  const std::string lock = c.LockPath();
  lab::DaemonProcess first({"-k", c.IfName()});
  ASSERT_NO_FATAL_FAILURE(WaitServing(first, c));

  std::optional<struct flock> fl = ConflictingLock(lock);
  ASSERT_TRUE(fl.has_value());
  EXPECT_EQ(fl->l_type, F_WRLCK);
  EXPECT_EQ(fl->l_pid, first.Pid());
  EXPECT_EQ(fl->l_start, 0);
  EXPECT_EQ(fl->l_len, 0) << "the lock must cover the whole file";

  // What a lock request of another process gets, for the status and text.
  int fd = open(lock.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << strerror(errno);
  struct flock want;
  memset(&want, 0, sizeof want);
  want.l_type = F_WRLCK;
  want.l_whence = SEEK_SET;
  ASSERT_NE(fcntl(fd, F_SETLK, &want), 0);
  const int lockErr = errno;
  close(fd);
  ASSERT_TRUE(lockErr == EAGAIN || lockErr == EACCES) << lockErr;

  const std::string owner = ProcessName(first.Pid());
  EXPECT_EQ(owner, lab::DaemonPath().substr(lab::DaemonPath().rfind('/') + 1).substr(0, 15));

  // The second daemon also gets a free controller, listed first: it takes
  // that lock, then stops at the held one.
  Controller& other = AddWithoutNode("2-1", "ttyACM5");
  lab::DaemonOptions opts;
  opts.argv0 = "second-e1ctld";
  lab::DaemonProcess second({"-k", other.IfName(), c.IfName()}, opts);
  lab::ExitStatus st = second.WaitExit(Ms(5000));
  EXPECT_EQ(st, lab::ExitStatus::Exited(lockErr)) << second.Output();
  const std::string expected = "second-e1ctld: can't obtain LOCKFILE '" + lock +
                               "': " + strerror(lockErr) + "\nProcess-owner: '" + owner +
                               "' (pid=" + std::to_string(first.Pid()) + ")\n";
  EXPECT_TRUE(EndsWith(second.Output(), expected)) << "output:\n" << second.Output();

  // It removed the lock file that it had locked itself; the first daemon's
  // lock file is still there and still its own.
  EXPECT_FALSE(lab::Exists(other.LockPath()));
  EXPECT_TRUE(lab::Exists(lock));
  EXPECT_EQ(LockHolder(lock), first.Pid());
  // ... and the first daemon still serves its port.
  Client port;
  ASSERT_TRUE(port.ConnectWithin(c.PortPath(0), Ms(2000)));
  ASSERT_TRUE(port.Send("still here\n"));
  EXPECT_TRUE(c.sim->WaitForSubstring("CMD:port E1.0 still here\n", Ms(2000)));

  ASSERT_TRUE(first.Signal(SIGTERM));
  EXPECT_EQ(first.WaitExit(Ms(2000)), lab::ExitStatus::Exited(0));
  EXPECT_FALSE(lab::Exists(lock)) << "the lock file outlived its daemon";
}

TEST_F(SupervisorLab, LockFileThatCannotBeOpenedEndsWithItsErrorNumber) {
  Controller& c = AddWithoutNode("1-1", "ttyACM5");
  const std::string lock = c.LockPath();
  lab::MakeDirs(lock);
  lab::DaemonOptions opts;
  opts.argv0 = "e1";
  lab::DaemonProcess d({"-k", c.IfName()}, opts);
  EXPECT_EQ(d.WaitExit(Ms(5000)), lab::ExitStatus::Exited(EISDIR)) << d.Output();
  EXPECT_TRUE(EndsWith(d.Output(),
                       "e1: can't open LOCKFILE '" + lock + "', error: " + strerror(EISDIR) + "\n"))
      << d.Output();
  EXPECT_TRUE(lab::IsDirectory(lock));
  EXPECT_FALSE(lab::Exists(c.AuxPath())) << "no socket before every lock is held";
}

// The lock file is removed while its lock is still held and only then
// closed: a daemon starting in between cannot lock the old file and then
// see it unlinked under it. inotify reports the unlink (the link count
// changes: IN_ATTRIB) and the close (IN_CLOSE_WRITE) in the order they
// happened.
TEST_F(SupervisorLab, LockFileIsRemovedWhileStillLockedAndClosedAfterwards) {
  Controller& c = AddSimulated("1-1");
  const std::string lock = c.LockPath();
  lab::DaemonProcess d({"-k", c.IfName()});
  ASSERT_NO_FATAL_FAILURE(WaitServing(d, c));
  int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0) << strerror(errno);
  ASSERT_GE(inotify_add_watch(watch, lock.c_str(), IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF), 0)
      << strerror(errno);

  ASSERT_TRUE(d.Signal(SIGTERM));
  EXPECT_EQ(d.WaitExit(Ms(1000)), lab::ExitStatus::Exited(0));
  EXPECT_FALSE(lab::Exists(lock));

  std::string order;  // U unlink, C close, D inode gone
  bool ignored = false;
  auto deadline = Clock::now() + Ms(1000);
  while (!ignored && Clock::now() < deadline) {
    alignas(struct inotify_event) char buf[4096];
    ssize_t n = read(watch, buf, sizeof buf);
    if (n <= 0) {
      std::this_thread::sleep_for(5ms);
      continue;
    }
    for (char* p = buf; p < buf + n;) {
      auto* ev = reinterpret_cast<struct inotify_event*>(p);
      if (ev->mask & IN_ATTRIB) order += 'U';
      if (ev->mask & IN_CLOSE_WRITE) order += 'C';
      if (ev->mask & IN_DELETE_SELF) order += 'D';
      if (ev->mask & IN_IGNORED) ignored = true;
      p += sizeof *ev + ev->len;
    }
  }
  close(watch);
  EXPECT_EQ(order, "UCD") << "U: unlinked, C: closed, D: gone";
}

// Entries of a directory, "." and ".." left out.
std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(d);
  return names;
}

// How many descriptors of process `pid` are open on the file at `path`.
size_t DescriptorsOn(pid_t pid, const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);  // /var/run is a link to /run
  if (real == nullptr) return 0;
  const std::string target = real;
  free(real);
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  size_t n = 0;
  for (const std::string& fd : Entries(fdDir)) n += ReadLink(fdDir + "/" + fd) == target ? 1 : 0;
  return n;
}

// The number of threads of `pid` once it has stayed the same for 300 ms.
size_t StableThreadCount(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  size_t last = Entries(tasks).size();
  for (int still = 0; still < 3;) {
    std::this_thread::sleep_for(100ms);
    size_t now = Entries(tasks).size();
    still = now == last ? still + 1 : 0;
    last = now;
  }
  return last;
}

// Two arguments that match the same control interface: the controller is
// registered and driven once. A second record would take the same lock
// again (record locks never conflict within one process), start a second
// serial thread and port threads on the same UART and sockets, and save the
// raw settings as the line's "original" ones.
TEST_F(SupervisorLab, ControllerNamedByTwoArgumentsIsDrivenOnce) {
  lab::ControllerSpec setup;
  setup.pid = lab::kTwoPortPid;
  setup.hub = "1-1";
  lab::UartSpec uart;
  uart.reply = lab::AckReplyRule();
  Controller& c = rig.AddController(setup, uart);
  ASSERT_EQ(c.IfName(), "1-1.3:1.0");
  std::optional<struct termios> orig = c.sim->GetTermios();
  ASSERT_TRUE(orig.has_value());
  struct termios cooked = *orig;
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  cooked.c_iflag |= ICRNL | IXON;
  cooked.c_oflag |= OPOST;
  ASSERT_TRUE(c.sim->SetTermios(cooked));
  orig = c.sim->GetTermios();
  ASSERT_TRUE(orig.has_value());

  // The threads of a daemon that names the controller once: main, one
  // serial thread, one per E1 port, and whatever the runtime adds (the
  // log writer, a sanitizer's own thread).
  size_t once = 0;
  {
    lab::DaemonProcess d({"-k", "1-1.3:1.0"});
    ASSERT_NO_FATAL_FAILURE(WaitServing(d, c));
    for (int port : {0, 1}) {
      ASSERT_TRUE(WaitUntil([&] { return IsListening(c.PortPath(port)); }, Ms(3000)));
    }
    once = StableThreadCount(d.Pid());
    ASSERT_TRUE(d.Signal(SIGTERM));
    ASSERT_EQ(d.WaitExit(Ms(1000)), lab::ExitStatus::Exited(0));
  }
  ASSERT_TRUE(c.sim->SetTermios(cooked));

  lab::DaemonProcess d({"--debugmsg", "-k", "1-1.3", "1-1"});
  ASSERT_NO_FATAL_FAILURE(WaitServing(d, c));
  for (int port : {0, 1}) {
    ASSERT_TRUE(WaitUntil([&] { return IsListening(c.PortPath(port)); }, Ms(3000)))
        << "port " << port << "; output:\n"
        << d.Output();
  }
  // A second record would add a serial thread and two port threads.
  EXPECT_EQ(StableThreadCount(d.Pid()), once);
  EXPECT_EQ(DescriptorsOn(d.Pid(), c.LockPath()), 1u);
  const std::string out = d.Output();
  EXPECT_NE(out.find("Found 1 E1 controller\n\n"), std::string::npos) << out;
  EXPECT_EQ(CountOf(out, "INFO:"), 1u) << out;

  // A command reaches the controller once, and its reply the client.
  Client port;
  ASSERT_TRUE(port.ConnectWithin(c.PortPath(1), Ms(2000)));
  ASSERT_TRUE(port.Send("once\n"));
  EXPECT_TRUE(port.ReadUntil("once", Ms(2000))) << d.Output();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(CountOf(c.sim->Received(), "CMD:port E1.1 once\n"), 1u) << c.sim->Received();

  ASSERT_TRUE(d.Signal(SIGTERM));
  EXPECT_EQ(d.WaitExit(Ms(1000)), lab::ExitStatus::Exited(0));
  EXPECT_FALSE(lab::Exists(c.LockPath()));
  std::optional<struct termios> back = c.sim->GetTermios();
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->c_lflag, orig->c_lflag) << std::hex << back->c_lflag;
  EXPECT_EQ(back->c_iflag, orig->c_iflag) << std::hex << back->c_iflag;
  EXPECT_EQ(back->c_oflag, orig->c_oflag) << std::hex << back->c_oflag;
  EXPECT_EQ(back->c_cc[VMIN], orig->c_cc[VMIN]);
}

// ---------------------------------------------------------------------------
// Control UART settings

TEST_F(SupervisorLab, TtyIsRawWhileRunningAndGetsItsOwnSettingsBackAfterSigterm) {
  Controller& c = AddSimulated("1-1");
  struct termios t;
  std::optional<struct termios> now = c.sim->GetTermios();
  ASSERT_TRUE(now.has_value());
  t = *now;
  t.c_iflag = IGNPAR | BRKINT | INPCK | ISTRIP | INLCR | ICRNL | IXON | IXANY | IMAXBEL | IUTF8;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag |= CSTOPB | CLOCAL | HUPCL;
  t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN | NOFLSH | TOSTOP;
  t.c_cc[VMIN] = 4;
  t.c_cc[VTIME] = 9;
  t.c_cc[VINTR] = 0x05;
  t.c_cc[VEOF] = 0x06;
  ASSERT_EQ(cfsetispeed(&t, B9600), 0);
  ASSERT_EQ(cfsetospeed(&t, B9600), 0);
  ASSERT_TRUE(c.sim->SetTermios(t));
  // The pty adjusts some control flags; what it kept is the original.
  std::optional<struct termios> orig = c.sim->GetTermios();
  ASSERT_TRUE(orig.has_value());
  ASSERT_EQ(orig->c_lflag, t.c_lflag);
  ASSERT_EQ(orig->c_iflag, t.c_iflag);
  ASSERT_EQ(cfgetospeed(&*orig), static_cast<speed_t>(B9600));
  ASSERT_TRUE(orig->c_cflag & CSTOPB);

  lab::DaemonProcess d({"--debugmsg", "-k", c.IfName()});
  ASSERT_NO_FATAL_FAILURE(WaitServing(d, c));
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::optional<struct termios> r = c.sim->GetTermios();
        return r && (r->c_lflag & ICANON) == 0;
      },
      Ms(2000)))
      << d.Output();

  std::optional<struct termios> raw = c.sim->GetTermios();
  ASSERT_TRUE(raw.has_value());
  // Input: no break, parity, strip, CR/NL or flow handling; the rest kept.
  EXPECT_EQ(raw->c_iflag, static_cast<tcflag_t>(IGNPAR | IMAXBEL | IUTF8))
      << std::hex << raw->c_iflag;
  EXPECT_EQ(raw->c_oflag, static_cast<tcflag_t>(ONLCR)) << std::hex << raw->c_oflag;
  EXPECT_EQ(raw->c_lflag, static_cast<tcflag_t>(ECHOE | ECHOK | ECHONL | NOFLSH | TOSTOP))
      << std::hex << raw->c_lflag;
  // 8 bits, no parity; speed, stop bits, CLOCAL and HUPCL as found.
  EXPECT_EQ(raw->c_cflag, orig->c_cflag) << std::hex << raw->c_cflag;
  EXPECT_EQ(raw->c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(raw->c_cflag & PARENB, 0u);
  EXPECT_EQ(cfgetispeed(&*raw), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetospeed(&*raw), static_cast<speed_t>(B9600));
  for (int i = 0; i < NCCS; ++i) {
    cc_t want = i == VMIN ? 1 : i == VTIME ? 0 : orig->c_cc[i];
    EXPECT_EQ(raw->c_cc[i], want) << "c_cc[" << i << "]";
  }

  ASSERT_TRUE(d.Signal(SIGTERM));
  EXPECT_EQ(d.WaitExit(Ms(1000)), lab::ExitStatus::Exited(0));
  EXPECT_NE(d.Output().find("Abnormal exit, sig = 0000000F\n"), std::string::npos) << d.Output();

  std::optional<struct termios> back = c.sim->GetTermios();
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->c_iflag, orig->c_iflag) << std::hex << back->c_iflag;
  EXPECT_EQ(back->c_oflag, orig->c_oflag) << std::hex << back->c_oflag;
  EXPECT_EQ(back->c_cflag, orig->c_cflag) << std::hex << back->c_cflag;
  EXPECT_EQ(back->c_lflag, orig->c_lflag) << std::hex << back->c_lflag;
  EXPECT_EQ(cfgetispeed(&*back), cfgetispeed(&*orig));
  EXPECT_EQ(cfgetospeed(&*back), cfgetospeed(&*orig));
  for (int i = 0; i < NCCS; ++i) EXPECT_EQ(back->c_cc[i], orig->c_cc[i]) << "c_cc[" << i << "]";
}

// ---------------------------------------------------------------------------
// A controller whose tty cannot be opened

TEST_F(SupervisorLab, UnopenableTtyKeepsLockAndAuxSocketButGetsNoPortSockets) {
  Controller& good = AddSimulated("1-1");
  Controller& bad = AddWithoutNode("2-1", "ttyACM5");
  lab::DaemonProcess d({"--debugmsg", "-k", good.IfName(), bad.IfName()});
  ASSERT_NO_FATAL_FAILURE(WaitServing(d, good));
  ASSERT_NO_FATAL_FAILURE(WaitServing(d, bad));
  const std::string cantOpen =
      "Can't open controller device /dev/ttyACM5: No such file or directory\n";
  EXPECT_TRUE(d.WaitForOutput("Found 2 E1 controller(s)\n\n", Ms(1000))) << d.Output();
  EXPECT_TRUE(d.WaitForOutput(cantOpen, Ms(1000))) << d.Output();

  // The working controller's port thread is up; the other one would have
  // been started together with it.
  Client goodPort;
  ASSERT_TRUE(goodPort.ConnectWithin(good.PortPath(0), Ms(2000))) << d.Output();
  EXPECT_FALSE(WaitUntil([&] { return lab::Exists(bad.PortPath(0)); }, 300ms));
  for (const std::string& name : lab::ListDirectory(lab::SocketDirPath())) {
    EXPECT_EQ(name.find(kSocketSuffix + bad.IfName()), std::string::npos) << name;
  }

  // Its auxiliary socket works and its lock stays held.
  Client aux;
  EXPECT_EQ(aux.Connect(bad.AuxPath()), 0);
  ASSERT_TRUE(aux.Send("ping\n"));
  EXPECT_TRUE(d.WaitForOutput(bad.AuxPath() + ": DATA arrived\n", Ms(2000)));
  EXPECT_EQ(LockHolder(bad.LockPath()), d.Pid());
  EXPECT_EQ(CountOf(d.Output(), cantOpen), 1u) << "the open is tried once only";

  ASSERT_TRUE(d.Signal(SIGTERM));
  EXPECT_EQ(d.WaitExit(Ms(1000)), lab::ExitStatus::Exited(0));
  EXPECT_FALSE(lab::Exists(good.LockPath()));
  EXPECT_FALSE(lab::Exists(bad.LockPath()));
}

// ---------------------------------------------------------------------------
// Auxiliary socket

TEST_F(SupervisorLab, AuxSocketServesOneClientAtATimeAndOnlyLogsItsData) {
  Controller& c = AddSimulated("1-1");
  const std::string aux = c.AuxPath();
  {
    lab::DaemonProcess d({"--debugmsg", "-k", c.IfName()});
    ASSERT_NO_FATAL_FAILURE(WaitServing(d, c));
    Client first;
    ASSERT_EQ(first.Connect(aux), 0);
    ASSERT_TRUE(first.Send("hello aux\n"));
    // Read by the daemon: the client has been accepted.
    ASSERT_TRUE(WaitUntil([&] { return first.Unread() == 0; }, Ms(2000)));
    EXPECT_TRUE(d.WaitForOutput(aux + ": DATA arrived\nreceived 10 bytes:\nhello aux\n", Ms(1000)))
        << d.Output();

    Client second;
    EXPECT_EQ(second.Connect(aux), ECONNREFUSED) << "a second client got in";
    EXPECT_TRUE(lab::Exists(aux)) << "the socket file goes only with a new listener";

    first.Close();
    auto closedAt = Clock::now();
    EXPECT_TRUE(second.ConnectWithin(aux, Ms(1000))) << d.Output();
    EXPECT_LE(ElapsedMs(closedAt), 1000 * kSlow);
    ASSERT_TRUE(second.Send("second client\n"));
    EXPECT_TRUE(
        d.WaitForOutput(aux + ": DATA arrived\nreceived 14 bytes:\nsecond client\n", Ms(2000)))
        << d.Output();

    EXPECT_EQ(CountOf(d.Output(), "hello aux"), 1u) << d.Output();
    EXPECT_EQ(c.sim->Received(), "") << "auxiliary data reached the controller";
    ASSERT_TRUE(d.Signal(SIGTERM));
    EXPECT_EQ(d.WaitExit(Ms(1000)), lab::ExitStatus::Exited(0));
  }
  {
    // At the default level the data is read and shows nowhere.
    lab::DaemonProcess d({"-k", c.IfName()});
    ASSERT_NO_FATAL_FAILURE(WaitServing(d, c));
    Client client;
    ASSERT_EQ(client.Connect(aux), 0);
    ASSERT_TRUE(client.Send("quiet data\n"));
    ASSERT_TRUE(WaitUntil([&] { return client.Unread() == 0; }, Ms(2000)));
    client.Close();
    Client again;
    EXPECT_TRUE(again.ConnectWithin(aux, Ms(1000)));
    ASSERT_TRUE(d.Signal(SIGTERM));
    EXPECT_EQ(d.WaitExit(Ms(1000)), lab::ExitStatus::Exited(0));
    EXPECT_EQ(d.Output().find("quiet data"), std::string::npos) << d.Output();
    EXPECT_EQ(d.Output().find("DATA arrived"), std::string::npos) << d.Output();
    EXPECT_EQ(c.sim->Received(), "");
  }
}

// ---------------------------------------------------------------------------
// Signals

TEST_F(SupervisorLab, TerminationSignalsExitCleanlyAndSighupChangesNothing) {
  Controller& c = AddSimulated("1-1");
  const struct {
    int sig;
    const char* line;
  } kCases[] = {
      {SIGTERM, "Abnormal exit, sig = 0000000F\n"},
      {SIGINT, "Abnormal exit, sig = 00000002\n"},
      {SIGQUIT, "Abnormal exit, sig = 00000003\n"},
  };
  for (const auto& k : kCases) {
    SCOPED_TRACE(strsignal(k.sig));
    c.sim->ClearReceived();
    lab::DaemonProcess d({"-k", c.IfName()});
    ASSERT_NO_FATAL_FAILURE(WaitServing(d, c));
    Client port;
    ASSERT_TRUE(port.ConnectWithin(c.PortPath(0), Ms(2000)));
    ASSERT_TRUE(port.Send("before\n"));
    ASSERT_TRUE(port.ReadUntil("before", Ms(2000))) << d.Output();
    d.WaitForQuiet(100ms, Ms(1000));
    const std::string before = d.Output();

    ASSERT_TRUE(d.Signal(SIGHUP));
    ASSERT_TRUE(port.Send("after hup\n"));
    EXPECT_TRUE(port.ReadUntil("after hup", Ms(2000))) << d.Output();
    Client aux;
    EXPECT_TRUE(aux.ConnectWithin(c.AuxPath(), Ms(1000)));
    std::this_thread::sleep_for(300ms);  // over one main loop turn
    EXPECT_EQ(d.WaitExit(0ms).kind, lab::ExitStatus::Kind::kTimeout) << "SIGHUP ended the daemon";
    EXPECT_EQ(d.Output(), before) << "SIGHUP caused output";
    EXPECT_EQ(LockHolder(c.LockPath()), d.Pid());

    auto sentAt = Clock::now();
    ASSERT_TRUE(d.Signal(k.sig));
    lab::ExitStatus st = d.WaitExit(Ms(1000));
    EXPECT_EQ(st, lab::ExitStatus::Exited(0)) << "after " << ElapsedMs(sentAt) << " ms";
    EXPECT_TRUE(EndsWith(d.Output(), k.line)) << d.Output();
    EXPECT_EQ(CountOf(d.Output(), "Abnormal exit"), 1u) << d.Output();
    EXPECT_FALSE(lab::Exists(c.LockPath()));
  }
}

TEST_F(SupervisorLab, TerminationSignalsWhileLoggingHeavilyExitPromptly) {
  Controller& c = AddSimulated("1-1");
  const int kSignals[] = {SIGTERM, SIGINT, SIGQUIT, SIGTERM, SIGINT, SIGQUIT};
  const char* kLines[] = {"Abnormal exit, sig = 0000000F\n", "Abnormal exit, sig = 00000002\n",
                          "Abnormal exit, sig = 00000003\n"};
  std::optional<struct termios> orig = c.sim->GetTermios();
  ASSERT_TRUE(orig.has_value());
  for (size_t round = 0; round < std::size(kSignals); ++round) {
    const int sig = kSignals[round];
    SCOPED_TRACE("round " + std::to_string(round) + ": " + strsignal(sig));
    lab::DaemonProcess d({"--debugmsg", "-k", c.IfName()});
    ASSERT_NO_FATAL_FAILURE(WaitServing(d, c));
    const std::string portPath = c.PortPath(0);
    const std::string auxPath = c.AuxPath();
    ASSERT_TRUE(WaitUntil([&] { return IsListening(portPath); }, Ms(2000)));
    {
      // A port client sending commands as fast as it can, a client filling
      // the auxiliary socket, and the controller chattering back.
      Flood portFlood([&](const std::stop_token& stop) {
        Client cl;
        if (!cl.ConnectWithin(portPath, Ms(2000))) return;
        char sink[4096];
        while (!stop.stop_requested()) {
          if (!cl.Send("flood one;flood two\n")) return;
          while (recv(cl.Fd(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
          }
        }
      });
      Flood auxFlood([&](const std::stop_token& stop) {
        Client cl;
        if (!cl.ConnectWithin(auxPath, Ms(2000))) return;
        const std::string chunk(2000, 'a');
        while (!stop.stop_requested()) {
          if (!cl.Send(chunk)) return;
        }
      });
      Flood simFlood([&](const std::stop_token& stop) {
        std::string burst;
        for (int i = 0; i < 20; ++i) burst += "ACK:E1.0:chatter " + std::to_string(i) + "\n";
        // Sends only while the line has room, so that no send waits for a
        // reader once the daemon is gone.
        int slave = open(c.sim->SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) return;
        while (!stop.stop_requested()) {
          int pending = 0;
          if (ioctl(slave, TIOCINQ, &pending) == 0 && pending > 1024) {
            std::this_thread::sleep_for(1ms);
          } else if (!c.sim->Send(burst)) {
            break;
          }
        }
        close(slave);
      });
      for (const char* busy : {"DATA arrived\n", "ACK:E1.0:chatter 19\n", "ACK:E1.0:flood two\n"}) {
        ASSERT_TRUE(d.WaitForOutput(busy, Ms(3000))) << "the daemon never logged " << busy;
      }
      ASSERT_TRUE(WaitUntil([&] { return d.Output().size() > 100000; }, Ms(3000)));

      auto sentAt = Clock::now();
      ASSERT_TRUE(d.Signal(sig));
      lab::ExitStatus st = d.WaitExit(Ms(1000));
      EXPECT_EQ(st, lab::ExitStatus::Exited(0)) << "after " << ElapsedMs(sentAt) << " ms";
      if (st.kind == lab::ExitStatus::Kind::kTimeout) {
        d.Signal(SIGKILL);
        d.WaitExit(Ms(2000));
        FAIL() << "no exit within the budget";
      }
    }
    EXPECT_EQ(CountOf(d.Output(), kLines[round % 3]), 1u);
    EXPECT_FALSE(lab::Exists(c.LockPath()));
    std::optional<struct termios> back = c.sim->GetTermios();
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->c_lflag, orig->c_lflag);
    EXPECT_EQ(back->c_iflag, orig->c_iflag);
    EXPECT_EQ(back->c_oflag, orig->c_oflag);
    c.sim->ClearReceived();
  }
}

// ---------------------------------------------------------------------------
// Daemon mode

TEST_F(SupervisorLab, DaemonModeDetachesIntoItsOwnSessionOnDevNullAtRoot) {
  Controller& c = AddSimulated("1-1");
  const std::string lock = c.LockPath();
  // Standard input and output are pipes, so that what the detached
  // daemon keeps of them shows.
  int in[2], out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  lab::SpawnSpec setup;
  setup.path = lab::DaemonPath();
  setup.argv = {setup.path, "-d", "-k", c.IfName()};
  setup.stdinFd = in[0];
  setup.stdoutFd = out[1];
  setup.stderrFd = out[1];
  auto startedAt = Clock::now();
  const pid_t starter = lab::Spawn(setup);
  close(in[0]);
  close(in[1]);
  close(out[1]);
  EXPECT_EQ(lab::WaitChild(starter, Ms(1000)), lab::ExitStatus::Exited(0));
  EXPECT_LE(ElapsedMs(startedAt), 1000 * kSlow);
  // Nothing is printed, and nobody keeps the output pipe open.
  std::string printed;
  bool closed = false;
  for (;;) {
    struct pollfd p = {out[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(Ms(2000).count())) != 1) break;
    char buf[256];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) {
      closed = n == 0;
      break;
    }
    printed.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  EXPECT_TRUE(closed) << "the output pipe is still open";
  EXPECT_EQ(printed, "") << "-d is quiet";

  pid_t pid = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        pid = LockHolder(lock);
        return pid > 0;
      },
      Ms(3000)));
  // From here the detached daemon is ours to end, whatever fails.
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      if (kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    }
  } reaper{pid};

  EXPECT_NE(pid, starter) << "the starting process must not be the daemon";
  EXPECT_EQ(getsid(pid), pid);
  const std::string proc = "/proc/" + std::to_string(pid);
  for (int fd = 0; fd <= 2; ++fd) {
    EXPECT_EQ(ReadLink(proc + "/fd/" + std::to_string(fd)), "/dev/null") << "descriptor " << fd;
  }
  EXPECT_EQ(ReadLink(proc + "/cwd"), "/");

  // It serves: a command reaches the controller.
  Client port;
  ASSERT_TRUE(port.ConnectWithin(c.PortPath(0), Ms(2000)));
  ASSERT_TRUE(port.Send("detached\n"));
  EXPECT_TRUE(c.sim->WaitForSubstring("CMD:port E1.0 detached\n", Ms(2000)));

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = -1;
  bool ended = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, Ms(1000));
  ASSERT_TRUE(ended) << "the detached daemon ignored SIGTERM";
  reaper.pid = -1;
  EXPECT_EQ(lab::ExitStatus::FromWaitStatus(status), lab::ExitStatus::Exited(0));
  EXPECT_FALSE(lab::Exists(lock));
}

// ---------------------------------------------------------------------------
// Sockets that cannot be bound

TEST_F(SupervisorLab, SocketThatCannotBeBoundEndsWithStatus12) {
  {
    // Only the auxiliary socket is made when the tty does not open.
    Controller& c = AddWithoutNode("1-1", "ttyACM5");
    lab::WriteFile(lab::SocketDirPath(), "in the way\n");
    lab::DaemonProcess d({"-k", c.IfName()});
    EXPECT_EQ(d.WaitExit(Ms(5000)), lab::ExitStatus::Exited(12)) << d.Output();
    EXPECT_TRUE(EndsWith(d.Output(), "main: Can't bind to socket: Not a directory\n"))
        << d.Output();
    EXPECT_FALSE(lab::Exists(c.LockPath()));
  }
  lab::ResetSandbox();
  {
    // With a working UART the port socket fails too; the exit handlers put
    // the line back all the same.
    Controller& c = AddSimulated("1-1");
    std::optional<struct termios> orig = c.sim->GetTermios();
    ASSERT_TRUE(orig.has_value());
    lab::WriteFile(lab::SocketDirPath(), "in the way\n");
    lab::DaemonProcess d({"-k", c.IfName()});
    EXPECT_EQ(d.WaitExit(Ms(5000)), lab::ExitStatus::Exited(12)) << d.Output();
    const std::string out = d.Output();
    EXPECT_TRUE(EndsWith(out, "main: Can't bind to socket: Not a directory\n") ||
                EndsWith(out, "E1_thread: Can't bind to socket: Not a directory\n"))
        << out;
    EXPECT_FALSE(lab::Exists(c.LockPath())) << out;
    std::optional<struct termios> back = c.sim->GetTermios();
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->c_lflag, orig->c_lflag);
    EXPECT_EQ(back->c_iflag, orig->c_iflag);
    EXPECT_EQ(back->c_oflag, orig->c_oflag);
    EXPECT_EQ(back->c_cc[VMIN], orig->c_cc[VMIN]);
    EXPECT_EQ(back->c_cc[VTIME], orig->c_cc[VTIME]);
  }
}

// A port thread's fatal error pauses one second before the exit; a
// termination signal acted on in that pause waits for that exit: the
// process ends with the fatal status, without the "Abnormal exit" line,
// and the lock file and the line settings are cleaned up once.
TEST_F(SupervisorLab, TerminationSignalDuringAFatalPauseKeepsTheFatalStatus) {
  Controller& c = AddSimulated("1-1");
  std::optional<struct termios> orig = c.sim->GetTermios();
  ASSERT_TRUE(orig.has_value());
  // The port socket cannot be bound where a directory stands.
  lab::MakeDirs(c.PortPath(0));
  lab::DaemonProcess d({"-k", c.IfName()});
  const std::string fatal = "E1_thread: Can't bind to socket: Address already in use\n";
  ASSERT_TRUE(d.WaitForOutput(fatal, Ms(3000))) << d.Output();
  ASSERT_TRUE(d.Signal(SIGTERM));
  EXPECT_EQ(d.WaitExit(Ms(3000)), lab::ExitStatus::Exited(12)) << d.Output();
  EXPECT_TRUE(EndsWith(d.Output(), fatal)) << d.Output();
  EXPECT_EQ(CountOf(d.Output(), "Abnormal exit"), 0u) << d.Output();
  EXPECT_FALSE(lab::Exists(c.LockPath()));
  std::optional<struct termios> back = c.sim->GetTermios();
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->c_lflag, orig->c_lflag);
  EXPECT_EQ(back->c_iflag, orig->c_iflag);
}

// ---------------------------------------------------------------------------
// Reopening after a replug

TEST_F(SupervisorLab, SerialThreadReopensControllerReplugAsAnotherTty) {
  Controller& c = AddSimulated("1-1");
  lab::DaemonProcess d({"--debugmsg", "-k", c.IfName()});
  ASSERT_NO_FATAL_FAILURE(WaitServing(d, c));
  Client port;
  ASSERT_TRUE(port.ConnectWithin(c.PortPath(0), Ms(2000)));
  ASSERT_TRUE(port.Send("first\n"));
  ASSERT_TRUE(c.sim->WaitForSubstring("CMD:port E1.0 first\n", Ms(2000))) << d.Output();
  ASSERT_TRUE(port.ReadUntil("first", Ms(2000)));

  c.sim->Unplug();
  c.sim->ClearReceived();
  c.sim->Plug(1);
  ASSERT_EQ(c.sim->DevicePath(), "/dev/ttyACM1");
  EXPECT_TRUE(d.WaitForOutput("TTY port filename found: ttyACM1\n", Ms(3000))) << d.Output();
  // Every port sends its last command block again on the new line.
  EXPECT_TRUE(c.sim->WaitForSubstring("CMD:port E1.0 first\n", Ms(2000))) << d.Output();

  ASSERT_TRUE(port.Send("second\n"));
  EXPECT_TRUE(c.sim->WaitForSubstring("CMD:port E1.0 second\n", Ms(2000))) << d.Output();
  EXPECT_TRUE(port.ReadUntil("second", Ms(2000))) << port.Buffer();
  EXPECT_EQ(LockHolder(c.LockPath()), d.Pid());

  // Gone again: the serial thread waits for the device, and a termination
  // signal still ends the daemon at once.
  c.sim->Unplug();
  EXPECT_TRUE(
      WaitUntil([&] { return CountOf(d.Output(), "TTY_loop: reports: POLLHUP") == 2; }, Ms(2000)))
      << d.Output();
  ASSERT_TRUE(d.Signal(SIGTERM));
  EXPECT_EQ(d.WaitExit(Ms(1000)), lab::ExitStatus::Exited(0));
  EXPECT_TRUE(EndsWith(d.Output(), "Abnormal exit, sig = 0000000F\n")) << d.Output();
  EXPECT_FALSE(lab::Exists(c.LockPath()));
}

// ---------------------------------------------------------------------------
// Information listing

TEST_F(SupervisorLab, DebugRunListsTheControllerExactly) {
  lab::ControllerSpec setup;
  setup.hub = "1-1";
  setup.pairs = {lab::EthFunction::Named("e1pair0")};
  const lab::ControllerLayout& layout = rig.AddController(setup).layout;

  const std::string listing =
      "Found 1 E1 controller\n\n"
      "Controller #1 INFO:\n"
      "Controller device name: ttyACM0 (/dev/ttyACM0)\n"
      "USB Vendor ID: C251, Product ID: 0004\n"
      "Path to controller USB Hub device: /proc/1/root/sys/bus/usb/devices/1-1\n"
      "E1 port(s) controlable by #1: 1\n"
      "ETH pair name #1: e1pair0\n";
  {
    lab::DaemonProcess d({"--debugmsg", "-k", layout.ctlIf});
    ASSERT_TRUE(d.WaitForOutput("ctlUART_dw = ", Ms(3000))) << d.Output();
    const std::string out = d.Output();
    size_t at = out.find("Found 1 E1 controller");
    ASSERT_NE(at, std::string::npos) << out;
    // The listing comes as one block, right before the UART is opened.
    EXPECT_EQ(out.substr(at, listing.size()), listing) << out;
    EXPECT_EQ(out.compare(at + listing.size(), 13, "ctlUART_dr = "), 0) << out;
    EXPECT_EQ(CountOf(out, "INFO:"), 1u);
    ASSERT_TRUE(d.Signal(SIGTERM));
    EXPECT_EQ(d.WaitExit(Ms(1000)), lab::ExitStatus::Exited(0));
  }
  {
    // Without --debugmsg there is no listing.
    lab::DaemonProcess d({"-k", layout.ctlIf});
    ASSERT_TRUE(WaitUntil([&] { return LockHolder(lab::LockFilePath(layout.ctlIf)) == d.Pid(); },
                          Ms(3000)));
    ASSERT_TRUE(d.Signal(SIGTERM));
    EXPECT_EQ(d.WaitExit(Ms(1000)), lab::ExitStatus::Exited(0));
    EXPECT_EQ(d.Output().find("INFO:"), std::string::npos) << d.Output();
    EXPECT_EQ(d.Output().find("Found 1"), std::string::npos) << d.Output();
  }
}

}  // namespace
