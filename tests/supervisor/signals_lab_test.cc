// End-to-end tests of the running daemon: the auxiliary socket, the
// termination signals (also while the daemon logs heavily) and daemon
// mode, against simulated controllers in the lab sandbox.
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
#include "tests/supervisor/supervisor_lab.h"

namespace {

using namespace std::chrono_literals;
using namespace supervisorlab;

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
    EXPECT_TRUE(
        d.WaitForOutput(aux + ": DATA arrived\nreceived 10 bytes:\nhello aux\\n\n", Ms(1000)))
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
        d.WaitForOutput(aux + ": DATA arrived\nreceived 14 bytes:\nsecond client\\n\n", Ms(2000)))
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

// What an auxiliary client sends shows in the debug log escaped, on lines
// of the daemon's making: a line feed in it starts no line (under the
// journal, no line with a priority of the client's choosing), a NUL cuts
// nothing, terminal controls stay text, and the data ends its line.
TEST_F(SupervisorLab, AuxDataIsLoggedEscapedAndCannotForgeLines) {
  Controller& c = AddSimulated("1-1");
  lab::DaemonOptions o;
  o.journalStream = true;
  lab::DaemonProcess d({"--debugmsg", "-k", c.IfName()}, o);
  ASSERT_NO_FATAL_FAILURE(WaitServing(d, c));
  Client client;
  ASSERT_EQ(client.Connect(c.AuxPath()), 0);
  const std::string forged("ok\n<3>E1_thread: Can't bind to socket\n\0tail\x1b[2J\\\xff", 49);
  ASSERT_TRUE(client.Send(forged));
  ASSERT_TRUE(WaitUntil([&] { return client.Unread() == 0; }, Ms(2000)));
  client.Close();
  // The messages after the data: the client's end.
  ASSERT_TRUE(d.WaitForOutput(c.AuxPath() + ": reports POLLHUP\n", Ms(2000))) << d.Output();
  const std::string out = d.Output();
  EXPECT_NE(out.find("<7>received 49 bytes:\n"
                     "<7>ok\\n<3>E1_thread: Can't bind to socket\\n\\x00tail\\x1b[2J\\\\\\xff\n"
                     "<7>" +
                     c.AuxPath() + ": DATA arrived\n<7>received 0 bytes:\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("<3>E1_thread: Can't bind to socket\n"), std::string::npos) << out;
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
  EXPECT_EQ(out.find('\0'), std::string::npos) << out;
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

// The signal numbers in the mask of a /proc/<pid>/status line such as
// "SigIgn:\t0000000000001000" (bit n-1 stands for signal n).
bool MaskHas(const std::string& status, const std::string& field, int sig) {
  size_t at = status.find("\n" + field + ":\t");
  if (at == std::string::npos) return false;
  unsigned long long mask = strtoull(status.c_str() + at + field.size() + 3, nullptr, 16);
  return (mask >> (sig - 1) & 1) != 0;
}

TEST_F(SupervisorLab, OtherTerminatingSignalsExitAsSigtermDoes) {
  // The tty starts with a fresh terminal's settings, so that the daemon's
  // raw mode shows and its restore at exit can be seen.
  lab::ControllerSpec setup;
  setup.hub = "1-1";
  lab::UartSpec uart;
  uart.reply = lab::AckReplyRule();
  uart.rawSlave = false;
  Controller& c = rig.AddController(setup, uart);
  std::optional<struct termios> orig = c.sim->GetTermios();
  ASSERT_TRUE(orig.has_value());
  for (int sig : {SIGALRM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF}) {
    SCOPED_TRACE(strsignal(sig));
    lab::DaemonProcess d({"-k", c.IfName()});
    ASSERT_NO_FATAL_FAILURE(WaitServing(d, c));
    Client port;
    ASSERT_TRUE(port.ConnectWithin(c.PortPath(0), Ms(2000)));
    ASSERT_TRUE(port.Send("before\n"));
    ASSERT_TRUE(port.ReadUntil("before", Ms(2000))) << d.Output();
    std::optional<struct termios> raw = c.sim->GetTermios();
    ASSERT_TRUE(raw.has_value());
    ASSERT_NE(raw->c_lflag, orig->c_lflag) << "the daemon left the line as it was";

    ASSERT_TRUE(d.Signal(sig));
    EXPECT_EQ(d.WaitExit(Ms(1000)), lab::ExitStatus::Exited(0));
    char line[64];
    snprintf(line, sizeof line, "Abnormal exit, sig = %8.8X\n", sig);
    EXPECT_TRUE(EndsWith(d.Output(), line)) << d.Output();
    EXPECT_FALSE(lab::Exists(c.LockPath()));
    std::optional<struct termios> back = c.sim->GetTermios();
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->c_lflag, orig->c_lflag);
    EXPECT_EQ(back->c_iflag, orig->c_iflag);
    EXPECT_EQ(back->c_oflag, orig->c_oflag);
  }
}

TEST_F(SupervisorLab, SigpipeIsIgnoredAndTheUserSignalsOnlyMoveTheLogLevel) {
  Controller& c = AddSimulated("1-1");
  lab::DaemonProcess d({"-k", c.IfName()});
  ASSERT_NO_FATAL_FAILURE(WaitServing(d, c));
  Client port;
  ASSERT_TRUE(port.ConnectWithin(c.PortPath(0), Ms(2000)));
  ASSERT_TRUE(port.Send("before\n"));
  ASSERT_TRUE(port.ReadUntil("before", Ms(2000))) << d.Output();
  d.WaitForQuiet(100ms, Ms(1000));
  const std::string before = d.Output();

  // Ignored process-wide, not only in the serial thread; the other
  // terminating signals are caught.
  std::string status = lab::ReadFile("/proc/" + std::to_string(d.Pid()) + "/status");
  EXPECT_TRUE(MaskHas(status, "SigIgn", SIGPIPE)) << status;
  for (int sig : {SIGTERM, SIGALRM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGUSR1, SIGUSR2}) {
    EXPECT_TRUE(MaskHas(status, "SigCgt", sig)) << strsignal(sig) << "\n" << status;
  }

  for (int sig : {SIGPIPE, SIGUSR1, SIGUSR2}) {
    SCOPED_TRACE(strsignal(sig));
    ASSERT_TRUE(d.Signal(sig));
    std::this_thread::sleep_for(300ms);  // over one main loop turn
    ASSERT_EQ(d.WaitExit(0ms).kind, lab::ExitStatus::Kind::kTimeout) << "the signal ended it";
    std::string text = std::string("after ") + strsignal(sig);
    for (char& ch : text) ch = ch == ' ' ? '_' : ch;
    ASSERT_TRUE(port.Send(text + "\n"));
    EXPECT_TRUE(port.ReadUntil(text, Ms(2000))) << d.Output();
    EXPECT_EQ(LockHolder(c.LockPath()), d.Pid());
  }
  // SIGUSR1 raised the level to 7 (the command of that turn was logged),
  // SIGUSR2 put it back: the last command was not.
  std::string out = d.Output();
  ASSERT_EQ(out.rfind(before, 0), 0u) << out;
  std::string after = out.substr(before.size());
  EXPECT_EQ(after.rfind("Log level changed from 4 to 7\n", 0), 0u) << after;
  EXPECT_NE(after.find("after_User_defined_signal_1"), std::string::npos) << after;
  const std::string back = "Log level changed from 7 to 4\n";
  ASSERT_GE(after.size(), back.size());
  EXPECT_EQ(after.substr(after.size() - back.size()), back) << after;
  ASSERT_TRUE(d.Signal(SIGTERM));
  EXPECT_EQ(d.WaitExit(Ms(1000)), lab::ExitStatus::Exited(0));
  EXPECT_FALSE(lab::Exists(c.LockPath()));
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

}  // namespace
