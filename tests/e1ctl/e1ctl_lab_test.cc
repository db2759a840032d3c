// e1ctl end to end: the real daemon serves a simulated two-port controller
// in the lab sandbox, and e1ctl is run as operators and scripts run it.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"
#include "lab/rig_test.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using lab::Ms;
using lab::RunE1ctl;
using lab::ToolRun;

// Run options with `text` on standard input.
lab::ToolOptions Fed(const std::string& text) {
  lab::ToolOptions o;
  o.input = text;
  return o;
}

lab::ExitStatus Exited(int code) {
  return lab::ExitStatus::Exited(code);
}

// A plain client that holds a port while it lives.
class Holder {
 public:
  explicit Holder(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (connect(fd_, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Holder() { Release(); }
  bool Connected() const { return fd_ >= 0; }
  // Sends a command and waits for its reply: proof that the daemon has
  // accepted this client and stopped listening.
  bool Served() {
    if (fd_ < 0 || write(fd_, "hold\n", 5) != 5) return false;
    struct pollfd p = {fd_, POLLIN, 0};
    char buf[64];
    return poll(&p, 1, 5000) == 1 && read(fd_, buf, sizeof buf) > 0;
  }
  void Release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Commands the simulator received for a port, in order.
std::vector<std::string> CommandsFor(const lab::SimController& sim, int port) {
  std::vector<std::string> out;
  for (const std::string& line : sim.LineTexts()) {
    int p;
    std::string text;
    if (lab::ParseCommandLine(line, &p, &text) && p == port) out.push_back(text);
  }
  return out;
}

class E1ctl : public lab::RigTest {
 protected:
  void SetUp() override {
    lab::ControllerSpec model;
    model.pid = lab::kTwoPortPid;
    model.pairs = {lab::EthFunction::NoNetDir(), lab::EthFunction::NoNetDir()};
    lab::UartSpec uart;
    uart.reply = lab::AckReplyRule();
    rig.AddController(model, uart);
  }

  // The daemon, serving both port sockets. A port thread recreates its
  // socket a moment after each client leaves: rig.WaitSockets() waits for
  // that too.
  void StartDaemon() { ASSERT_NO_FATAL_FAILURE(StartServing({"-n"}, {}, Ms(10000))); }

  std::string Socket(int port) { return PortPath(port); }

  // Waits until the simulator holds `count` commands for `port`.
  bool WaitCommands(int port, size_t count, std::chrono::milliseconds timeout = Ms(5000)) {
    return lab::WaitUntil([&] { return CommandsFor(Sim(), port).size() >= count; }, timeout);
  }
};

TEST_F(E1ctl, NamesThePortByControllerPrefixOrSocketPath) {
  StartDaemon();
  // Full controller name and port 1: the commands joined with ';'.
  ToolRun r =
      RunE1ctl({"-c", Layout().ctlIf, "-p", "1", "-n", "3", "alarm status", "loop off;crc4 on"});
  EXPECT_EQ(r.status, Exited(0)) << r.err;
  EXPECT_EQ(r.out, "alarm status\nloop off\ncrc4 on\n");
  EXPECT_EQ(CommandsFor(Sim(), 1),
            (std::vector<std::string>{"alarm status", "loop off", "crc4 on"}));
  EXPECT_TRUE(CommandsFor(Sim(), 0).empty());

  // The prefix that e1ctld takes as CTLDEVICE names the same controller;
  // the port defaults to 0.
  r = RunE1ctl({"-c", "1-1.3", "-n", "1", "status"});
  EXPECT_EQ(r.status, Exited(0)) << r.err;
  EXPECT_EQ(r.out, "status\n");
  EXPECT_EQ(CommandsFor(Sim(), 0), std::vector<std::string>{"status"});

  // The socket path itself.
  r = RunE1ctl({"-S", Socket(1), "-n", "1", "ping"});
  EXPECT_EQ(r.status, Exited(0)) << r.err;
  EXPECT_EQ(r.out, "ping\n");

  // --path prints what -c and -p name, and --list shows both ports.
  r = RunE1ctl({"-c", "1-1.3", "-p", "1", "--path"});
  EXPECT_EQ(r.out, Socket(1) + "\n");
  r = RunE1ctl({"--list"});
  EXPECT_EQ(r.status, Exited(0));
  EXPECT_EQ(r.out, Layout().ctlIf + "\t0\t" + Socket(0) + "\n" + Layout().ctlIf + "\t1\t" +
                       Socket(1) + "\n");
}

TEST_F(E1ctl, EndsOnTheEndOfFileReplyAndOnTheIdleTimeout) {
  Sim().SetReplyRule([](const std::string& line) -> std::optional<std::string> {
    int port;
    std::string text;
    if (!lab::ParseCommandLine(line, &port, &text)) return std::nullopt;
    if (text == "bye") return "ACK:E1." + std::to_string(port) + ":EOF\n";
    if (text == "quiet") return std::nullopt;
    return "ACK:E1." + std::to_string(port) + ":done " + text + "\n";
  });
  StartDaemon();

  // The daemon shuts the connection on the EOF reply: status 0 long before
  // the idle timeout.
  ToolRun r = RunE1ctl({"-c", Layout().ctlIf, "-t", "10", "status;bye"});
  EXPECT_EQ(r.status, Exited(0)) << r.err;
  EXPECT_EQ(r.out, "done status\n");
  EXPECT_LT(r.took, 5s);

  // Replies, then silence: a normal end after the idle timeout.
  r = RunE1ctl({"-c", Layout().ctlIf, "-t", "0.5", "status"});
  EXPECT_EQ(r.status, Exited(0)) << r.err;
  EXPECT_EQ(r.out, "done status\n");
  EXPECT_GE(r.took, 500ms);

  // No reply at all, or fewer lines than asked for: the timeout status.
  r = RunE1ctl({"-c", Layout().ctlIf, "-t", "0.5", "quiet"});
  EXPECT_EQ(r.status, Exited(5));
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("no reply within 0.5 s"), std::string::npos) << r.err;
  r = RunE1ctl({"-c", Layout().ctlIf, "-t", "0.5", "-n", "2", "status"});
  EXPECT_EQ(r.status, Exited(5));
  EXPECT_EQ(r.out, "done status\n");
  EXPECT_NE(r.err.find("1 of 2 reply lines"), std::string::npos) << r.err;

  // -n 0: sent, and done without waiting for anything.
  Sim().ClearReceived();
  r = RunE1ctl({"-c", Layout().ctlIf, "-p", "1", "-n", "0", "-t", "10", "quiet"});
  EXPECT_EQ(r.status, Exited(0)) << r.err;
  EXPECT_LT(r.took, 5s);
  EXPECT_TRUE(WaitCommands(1, 1));
}

TEST_F(E1ctl, TellsMissingBusyAndStaleSocketsApart) {
  // No daemon yet: no socket directory at all.
  ToolRun r = RunE1ctl({"-c", Layout().ctlIf, "-w", "0", "status"});
  EXPECT_EQ(r.status, Exited(3));
  EXPECT_NE(r.err.find("is e1ctld running?"), std::string::npos) << r.err;

  StartDaemon();
  // A controller that nobody serves.
  r = RunE1ctl({"-c", "9-9.9:1.0", "-w", "0", "status"});
  EXPECT_EQ(r.status, Exited(3));
  EXPECT_NE(r.err.find("no such socket: " + lab::PortSocketPath("9-9.9:1.0", 0)), std::string::npos)
      << r.err;

  // Another client holds port 0: busy, while port 1 still answers.
  {
    Holder holder(Socket(0));
    ASSERT_TRUE(holder.Connected());
    ASSERT_TRUE(holder.Served());
    r = RunE1ctl({"-c", Layout().ctlIf, "-w", "0", "status"});
    EXPECT_EQ(r.status, Exited(4));
    EXPECT_NE(r.err.find("port busy"), std::string::npos) << r.err;
    r = RunE1ctl({"-c", Layout().ctlIf, "-p", "1", "-w", "0", "-n", "1", "status"});
    EXPECT_EQ(r.status, Exited(0)) << r.err;

    // Waiting: the holder leaves after 400 ms, e1ctl gets the port.
    std::thread leave([&holder] {
      std::this_thread::sleep_for(400ms);
      holder.Release();
    });
    r = RunE1ctl({"-c", Layout().ctlIf, "-w", "5", "-n", "1", "status"});
    leave.join();
    EXPECT_EQ(r.status, Exited(0)) << r.err;
    EXPECT_EQ(r.out, "status\n");
  }

  // The daemon ends and leaves its socket files behind: stale, not busy.
  ASSERT_EQ(rig.WaitSockets(Ms(5000)), "");
  ASSERT_TRUE(Daemon().Signal(SIGTERM));
  ASSERT_EQ(Daemon().WaitExit(Ms(10000)), Exited(0)) << Daemon().Output();
  ASSERT_TRUE(lab::Exists(Socket(0)));
  r = RunE1ctl({"-c", Layout().ctlIf, "-w", "0", "status"});
  EXPECT_EQ(r.status, Exited(6));
  EXPECT_NE(r.err.find("no e1ctld holds its controller"), std::string::npos) << r.err;
}

// Connections that the stopped daemon's port takes into its listen queue
// without accepting them, until the queue is full (the next connect is
// refused with EAGAIN); empty when it never filled.
std::vector<int> FillListenQueue(const std::string& path) {
  std::vector<int> held;
  for (int i = 0; i < 8; ++i) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0) {
      held.push_back(fd);
      continue;
    }
    int err = errno;
    close(fd);
    if (err == EAGAIN) return held;
    break;
  }
  for (int fd : held) close(fd);
  return {};
}

TEST_F(E1ctl, AStoppedDaemonBoundsTheConnectAndTheSending) {
  StartDaemon();
  ASSERT_TRUE(Daemon().Signal(SIGSTOP));
  struct Resume {
    lab::DaemonProcess& d;
    ~Resume() { d.Signal(SIGCONT); }
  } resume{Daemon()};

  // Port 1 still listens and takes the connection into its queue, but
  // nobody reads the lines: the second one never goes out, and after the
  // timeout e1ctl says so.
  ToolRun r = RunE1ctl({"-c", Layout().ctlIf, "-p", "1", "-t", "0.5"}, Fed("first\nsecond\n"));
  EXPECT_EQ(r.status, Exited(5)) << r.err;
  EXPECT_NE(r.err.find("the daemon did not take the commands within 0.5 s on " + Socket(1)),
            std::string::npos)
      << r.err;
  EXPECT_LT(r.took, 5s);

  // Port 0's listen queue is full: the connect is refused at once and
  // tried again for the -w time only.
  std::vector<int> held = FillListenQueue(Socket(0));
  ASSERT_FALSE(held.empty()) << "the listen queue never filled";
  r = RunE1ctl({"-c", Layout().ctlIf, "-w", "0.5", "status"});
  EXPECT_EQ(r.status, Exited(5)) << r.err;
  EXPECT_NE(r.err.find(Socket(0) + " did not accept the connection within 0.5 s"),
            std::string::npos)
      << r.err;
  EXPECT_GE(r.took, 500ms);
  EXPECT_LT(r.took, 5s);
  for (int fd : held) close(fd);

  // Running again, the daemon takes the lines of the next run as before.
  // First it serves the connection that the first run left in its queue:
  // the reply to that run's line goes to nobody once it is done.
  ASSERT_TRUE(Daemon().Signal(SIGCONT));
  ASSERT_TRUE(WaitCommands(1, 1));
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(rig.WaitSockets(Ms(5000)), "");
  r = RunE1ctl({"-c", Layout().ctlIf, "-p", "1", "-w", "5", "-n", "2"}, Fed("third\nfourth\n"));
  EXPECT_EQ(r.status, Exited(0)) << r.err;
  EXPECT_EQ(r.out, "third\nfourth\n");
}

TEST_F(E1ctl, ADaemonThatEndsIsNoEndOfFileReply) {
  Sim().SetReplyRule([](const std::string& line) -> std::optional<std::string> {
    int port;
    std::string text;
    if (!lab::ParseCommandLine(line, &port, &text) || text == "quiet") return std::nullopt;
    if (text == "bye") return "ACK:E1." + std::to_string(port) + ":EOF\n";
    return "ACK:E1." + std::to_string(port) + ":" + text + "\n";
  });
  for (int sig : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(strsignal(sig));
    Sim().ClearReceived();
    StartDaemon();
    const pid_t pid = Daemon().Pid();
    // e1ctl waits for a reply that never comes; the daemon ends meanwhile.
    ToolRun r;
    std::thread run([&r, this] { r = RunE1ctl({"-c", Layout().ctlIf, "-t", "20", "quiet"}); });
    bool sent = WaitCommands(0, 1);
    ASSERT_TRUE(Daemon().Signal(sig));
    run.join();
    ASSERT_TRUE(sent);
    EXPECT_EQ(r.status, Exited(7)) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("connection to " + Socket(0) + " lost: e1ctld (pid " +
                         std::to_string(pid) + ") has ended"),
              std::string::npos)
        << r.err;
    EXPECT_LT(r.took, 10s);
    Daemon().WaitExit(Ms(10000));
  }

  // The end-of-file reply, while the daemon runs on, is still a normal end.
  StartDaemon();
  ToolRun r = RunE1ctl({"-c", Layout().ctlIf, "-t", "10", "first;bye"});
  EXPECT_EQ(r.status, Exited(0)) << r.err;
  EXPECT_EQ(r.out, "first\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(E1ctl, APathThatIsNoSocketIsSaidSo) {
  // A directory and a regular file where the port socket should be, and
  // given with -S: not a socket, never "port busy" or "stale".
  ASSERT_EQ(mkdir(lab::SocketDirPath().c_str(), 0775) == 0 || errno == EEXIST, true);
  ASSERT_EQ(mkdir(Socket(0).c_str(), 0755), 0) << strerror(errno);
  int file = open(Socket(1).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(file, 0);
  close(file);
  const struct {
    std::vector<std::string> args;
    std::string path;
    std::string kind;
  } kCases[] = {
      {{"-c", Layout().ctlIf, "-w", "0", "status"}, Socket(0), "a directory"},
      {{"-c", Layout().ctlIf, "-p", "1", "-w", "2", "status"}, Socket(1), "a regular file"},
      {{"-S", "/tmp", "status"}, "/tmp", "a directory"},
  };
  for (const auto& k : kCases) {
    SCOPED_TRACE(k.path);
    ToolRun r = RunE1ctl(k.args);
    EXPECT_EQ(r.status, Exited(3)) << r.err;
    EXPECT_NE(r.err.find("not a socket: " + k.path + " is " + k.kind + "\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("busy"), std::string::npos) << r.err;
    EXPECT_LT(r.took, 1500ms) << "waited for something that will not become a socket";
  }
}

TEST_F(E1ctl, EachLineOfStandardInputIsOneBlock) {
  StartDaemon();
  std::string input = "a;b\nc\n\n;;\r\nd";  // the last line without a line feed
  ToolRun r = RunE1ctl({"-c", Layout().ctlIf, "-n", "4"}, Fed(input));
  EXPECT_EQ(r.status, Exited(0)) << r.err;
  EXPECT_EQ(r.out, "a\nb\nc\nd\n");
  EXPECT_EQ(CommandsFor(Sim(), 0), (std::vector<std::string>{"a", "b", "c", "d"}));

  // The daemon's stored block is the last line alone: after a replug it
  // resends only "d".
  Sim().Unplug();
  Sim().ClearReceived();
  Sim().Plug(4);
  ASSERT_TRUE(WaitCommands(0, 1));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(CommandsFor(Sim(), 0), std::vector<std::string>{"d"});
}

TEST_F(E1ctl, LongInputReachesTheControllerWithoutLoss) {
  StartDaemon();
  // 150 lines at once and one line of 40 commands: more than the daemon
  // forwards from one read (32 commands, 1024 bytes), so e1ctl must pace
  // its blocks.
  std::string input;
  std::vector<std::string> want;
  for (int i = 0; i < 150; ++i) {
    input += "command number " + std::to_string(i) + "\n";
    want.push_back("command number " + std::to_string(i));
  }
  for (int i = 0; i < 40; ++i) {
    input += "x" + std::to_string(i) + (i < 39 ? ";" : "\n");
    want.push_back("x" + std::to_string(i));
  }
  ToolRun r = RunE1ctl({"-c", Layout().ctlIf, "-p", "1", "-n", "190"}, Fed(input));
  EXPECT_EQ(r.status, Exited(0)) << r.err;
  EXPECT_EQ(CommandsFor(Sim(), 1), want);
  std::string wantOut;
  for (const std::string& w : want) wantOut += w + "\n";
  EXPECT_EQ(r.out, wantOut);
}

TEST_F(E1ctl, RefusesWhatItCannotSendAsAsked) {
  StartDaemon();
  // 33 commands from the arguments do not fit one block: refused, nothing sent.
  std::vector<std::string> args = {"-c", Layout().ctlIf};
  for (int i = 0; i < 33; ++i) args.push_back("c" + std::to_string(i));
  ToolRun r = RunE1ctl(args);
  EXPECT_EQ(r.status, Exited(2));
  EXPECT_NE(r.err.find("more than one block"), std::string::npos) << r.err;

  r = RunE1ctl({"-c", Layout().ctlIf, ";;;"});
  EXPECT_EQ(r.status, Exited(2));
  r = RunE1ctl({"-c", Layout().ctlIf, "-p", "3", "x"});
  EXPECT_EQ(r.status, Exited(2));
  r = RunE1ctl({"-S", Socket(0), "-c", Layout().ctlIf, "x"});
  EXPECT_EQ(r.status, Exited(2));
  r = RunE1ctl({"--frobnicate"});
  EXPECT_EQ(r.status, Exited(2));
  EXPECT_NE(r.err.find("unknown option '--frobnicate'"), std::string::npos) << r.err;
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(Sim().LineTexts().empty());

  // A warning for a command too long for the controller's line, which the
  // daemon drops whole: nothing of it reaches the controller.
  std::string longCmd(120, 'L');
  r = RunE1ctl({"-c", Layout().ctlIf, "-n", "0", longCmd});
  EXPECT_EQ(r.status, Exited(0));
  EXPECT_NE(r.err.find("a command of 120 characters is dropped by the daemon (at most 115 fit"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(Daemon().WaitForOutput(
      "E1_thread: command of 120 characters for E1.0 dropped: too long for a line\n", Ms(2000)));
  EXPECT_TRUE(Sim().LineTexts().empty());

  r = RunE1ctl({"--help"});
  EXPECT_EQ(r.status, Exited(0));
  EXPECT_NE(r.out.find("Exit status:"), std::string::npos);
}

TEST_F(E1ctl, StatusShowsTheDaemonsAccountOrLockTtyAndEachPort) {
  // Nothing known yet besides the plugged controller: no lock, no sockets.
  ToolRun r = RunE1ctl({"-l"});
  EXPECT_EQ(r.status, Exited(3));
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("no port sockets in /var/run/E1controllers"), std::string::npos) << r.err;
  // Plugged in, no daemon: what the file system shows, status 9.
  r = RunE1ctl({"status"});
  EXPECT_EQ(r.status, Exited(9)) << r.err;
  EXPECT_EQ(r.out, Layout().ctlIf + "\n  lock:   none (no daemon serves it)\n  tty:    ttyACM0\n" +
                       "  port 0: missing " + Socket(0) + "\n  port 1: missing " + Socket(1) +
                       "\n");

  StartDaemon();
  Holder holder(Socket(1));
  ASSERT_TRUE(holder.Served());
  // Served: the daemon's own account through its control socket.
  r = RunE1ctl({"status", "1-1.3"});
  EXPECT_EQ(r.status, Exited(0)) << r.err;
  EXPECT_EQ(r.out, Layout().ctlIf + "\n  daemon: pid " + std::to_string(Daemon().Pid()) +
                       ", e1ctld 0.9_rc4\n  uart:   open ttyACM0\n"
                       "  port  client  commands  replies  dropped\n"
                       "  0     no             0        0        0\n"
                       "  1     yes            1        1        0\n");
  holder.Release();

  // The daemon ends; the controller is unplugged: sockets stale, no tty.
  ASSERT_EQ(rig.WaitSockets(Ms(5000)), "");
  ASSERT_TRUE(Daemon().Signal(SIGTERM));
  ASSERT_EQ(Daemon().WaitExit(Ms(10000)), Exited(0));
  Sim().Unplug();
  r = RunE1ctl({"status"});
  EXPECT_EQ(r.status, Exited(9)) << r.err;
  EXPECT_NE(r.out.find("  tty:    none (not plugged in)\n  port 0: stale " + Socket(0)),
            std::string::npos)
      << r.out;

  // A controller named that nobody knows is shown as absent, status 10;
  // with nothing known at all, status 3.
  r = RunE1ctl({"status", "7-7:1.0"});
  EXPECT_EQ(r.status, Exited(10));
  EXPECT_EQ(r.out,
            "7-7:1.0\n  lock:   none (no daemon serves it)\n  tty:    none (not plugged in)\n");
  lab::ResetSandbox();
  r = RunE1ctl({"status"});
  EXPECT_EQ(r.status, Exited(3));
  EXPECT_NE(r.err.find("no controller known"), std::string::npos) << r.err;
}

}  // namespace
