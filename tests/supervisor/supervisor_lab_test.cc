// End-to-end tests of the running daemon in the lab sandbox: lock files,
// a controller named twice, the control UART's settings and a tty that
// cannot be opened. Every test builds fake controllers in sysfs, plays
// their control UARTs with simulated controllers on ptys and starts the
// real e1ctld.
#include "tests/supervisor/supervisor_lab.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/run_paths.h"
#include "lab/lab.h"

namespace {

using namespace std::chrono_literals;
using namespace supervisorlab;

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

TEST_F(SupervisorLab, UnopenableTtyKeepsLockAndAuxSocketAndItsPortWaitsForTheTty) {
  Controller& good = AddSimulated("1-1");
  Controller& bad = AddWithoutNode("2-1", "ttyACM5");
  lab::DaemonProcess d({"--debugmsg", "-k", good.IfName(), bad.IfName()});
  ASSERT_NO_FATAL_FAILURE(WaitServing(d, good));
  ASSERT_NO_FATAL_FAILURE(WaitServing(d, bad));
  const std::string cantOpen =
      "Can't open controller device /dev/ttyACM5: No such file or directory\n";
  EXPECT_TRUE(d.WaitForOutput("Found 2 E1 controller(s)\n\n", Ms(1000))) << d.Output();
  EXPECT_TRUE(d.WaitForOutput(cantOpen, Ms(1000))) << d.Output();

  // Both controllers' port threads are up: the other one's takes a client
  // and waits for its tty, which its serial thread keeps looking for.
  Client goodPort;
  ASSERT_TRUE(goodPort.ConnectWithin(good.PortPath(0), Ms(2000))) << d.Output();
  Client badPort;
  ASSERT_TRUE(badPort.ConnectWithin(bad.PortPath(0), Ms(2000))) << d.Output();
  ASSERT_TRUE(badPort.Send("held\n"));
  ASSERT_TRUE(goodPort.Send("served\n"));
  EXPECT_TRUE(good.sim->WaitForSubstring("CMD:port E1.0 served\n", Ms(2000))) << d.Output();
  EXPECT_TRUE(d.WaitForOutput("TTY port filename found: ttyACM5\n", Ms(2000))) << d.Output();

  // Its auxiliary socket works and its lock stays held.
  Client aux;
  EXPECT_EQ(aux.Connect(bad.AuxPath()), 0);
  ASSERT_TRUE(aux.Send("ping\n"));
  EXPECT_TRUE(d.WaitForOutput(bad.AuxPath() + ": DATA arrived\n", Ms(2000)));
  EXPECT_EQ(LockHolder(bad.LockPath()), d.Pid());
  // Retried every 200 ms while it waits: the repeats show with --debugmsg.
  EXPECT_TRUE(WaitUntil([&] { return CountOf(d.Output(), cantOpen) >= 3; }, Ms(2000)))
      << d.Output();

  ASSERT_TRUE(d.Signal(SIGTERM));
  EXPECT_EQ(d.WaitExit(Ms(1000)), lab::ExitStatus::Exited(0));
  EXPECT_FALSE(lab::Exists(good.LockPath()));
  EXPECT_FALSE(lab::Exists(bad.LockPath()));
}

}  // namespace
