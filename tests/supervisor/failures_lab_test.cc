// End-to-end tests of the running daemon: sockets that cannot be bound,
// a fatal pause cut by a signal, reopening after a replug, and the
// controller listing of a debug run, against simulated controllers in the
// lab sandbox.
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

// A listener made again after its client left finds a directory at its
// path (only root can put one there): the daemon says so once, goes on
// serving everything else and listens again once the path is free. Only a
// socket that cannot be bound at start-up ends it.
TEST_F(SupervisorLab, ListenerThatCannotBeMadeAgainIsTriedUntilItCan) {
  Controller& c = AddSimulated("1-1");
  lab::DaemonProcess d({"-k", c.IfName()});
  ASSERT_NO_FATAL_FAILURE(WaitServing(d, c));
  const std::string portPath = c.PortPath(0);
  const std::string auxPath = c.AuxPath();
  const std::string portFailed = "E1_thread: Can't bind to socket " + portPath +
                                 " again: Address already in use; trying every 200 ms\n";
  const std::string auxFailed = "main: Can't bind to socket " + auxPath +
                                " again: Address already in use; trying every 200 ms\n";
  {
    Client port;
    ASSERT_TRUE(Attach(0, &port));
    Client aux;
    ASSERT_EQ(aux.Connect(auxPath), 0);
    ASSERT_TRUE(aux.Send("x"));
    ASSERT_TRUE(WaitUntil([&] { return aux.Unread() == 0; }, Ms(2000)));
    for (const std::string* path : {&portPath, &auxPath}) {
      lab::RemoveTree(*path);
      lab::MakeDirs(*path);
    }
  }  // both clients leave
  ASSERT_TRUE(d.WaitForOutput(portFailed, Ms(2000))) << d.Output();
  ASSERT_TRUE(d.WaitForOutput(auxFailed, Ms(2000))) << d.Output();
  std::this_thread::sleep_for(Ms(1500));  // several tries
  EXPECT_FALSE(d.Exited()) << d.Output();
  EXPECT_EQ(CountOf(d.Output(), portFailed), 1u) << d.Output();
  EXPECT_EQ(CountOf(d.Output(), auxFailed), 1u) << d.Output();

  // The port's path is free again: it serves; the auxiliary one still waits.
  lab::RemoveTree(portPath);
  Client again;
  ASSERT_TRUE(Attach(0, &again));
  EXPECT_TRUE(d.WaitForOutput("E1_thread: socket " + portPath + " listens again\n", Ms(1000)))
      << d.Output();
  EXPECT_TRUE(lab::IsDirectory(auxPath));
  lab::RemoveTree(auxPath);
  Client aux;
  EXPECT_TRUE(aux.ConnectWithin(auxPath, Ms(2000))) << d.Output();
  EXPECT_TRUE(d.WaitForOutput("main: socket " + auxPath + " listens again\n", Ms(1000)))
      << d.Output();
  EXPECT_EQ(CountOf(d.Output(), portFailed), 1u) << d.Output();
  EXPECT_EQ(CountOf(d.Output(), auxFailed), 1u) << d.Output();
  ASSERT_TRUE(d.Signal(SIGTERM));
  EXPECT_EQ(d.WaitExit(Ms(3000)), lab::ExitStatus::Exited(0)) << d.Output();
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
