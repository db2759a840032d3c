// e1demo: the daemon's whole job, shown step by step against a simulated
// two-port controller in the lab sandbox. Every step says what should
// happen, shows what did happen and checks it; the exit status is 0 only
// when every step did what was expected.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/run_paths.h"
#include "lab/demo_steps.h"
#include "lab/lab.h"

namespace {

using namespace std::chrono_literals;
using demo::Contains;
using demo::Grep;
using demo::Lines;
using demo::Steps;
using demo::TakeLines;
using Clock = std::chrono::steady_clock;

// The lab: one controller with USB ids c251:0005 (two E1 ports, two
// Ethernet pairs at hub ports 1 and 4), its control UART on a pty shown as
// /dev/ttyACM0, its pairs played by veth interfaces.
constexpr const char* kPair0 = "e1eth0";
constexpr const char* kPair1 = "e1eth1";
constexpr const char* kStranger = "lan7";  // what "somebody else" renames pair 0 to

// What the simulated controller answers: "status" gets a status report,
// everything else is acknowledged.
std::optional<std::string> ControllerReply(const std::string& line) {
  int port;
  std::string text;
  if (!lab::ParseCommandLine(line, &port, &text)) return std::nullopt;
  std::string tag = "ACK:E1." + std::to_string(port) + ":";
  if (text == "status") return tag + "E1." + std::to_string(port) + " sync ok, no alarms\n";
  return tag + "ok " + text + "\n";
}

// The process that holds a write lock on the file, or 0.
pid_t LockHolder(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  int r = fcntl(fd, F_GETLK, &fl);
  close(fd);
  return r == 0 && fl.l_type != F_UNLCK ? fl.l_pid : 0;
}

std::string StatusText(const lab::ExitStatus& s) {
  return s.ToString();
}

int RunDemo() {
  const auto started = Clock::now();
  Steps steps;

  // The lab.
  lab::Rig rig;
  rig.ForgetInterfaces({kStranger});
  rig.AddVethPair(kPair0);
  rig.AddVethPair(kPair1);
  lab::SetInterfaceUp(kPair0, true);  // pair 0 in use, pair 1 left down
  lab::ControllerSpec model;
  model.pid = 0x0005;
  model.pairs = {lab::EthFunction::NoNetDir(), lab::EthFunction::NoNetDir()};
  lab::UartSpec uartSpec;
  uartSpec.reply = ControllerReply;
  const lab::RigController& controller = rig.AddController(model, uartSpec);
  const lab::ControllerLayout& layout = controller.layout;
  rig.TrackPair(0, 0, kPair0);
  rig.TrackPair(0, 1, kPair1);
  lab::NetFollower& follower = rig.Net();
  lab::SimController& sim = *controller.sim;

  const std::string ctlIf = layout.ctlIf;
  const std::string devs = "/proc/1/root/sys/bus/usb/devices/";
  printf("e1demo: e1ctld against a simulated controller, in a throw-away sandbox\n");
  printf("  controller: USB c251:0005 (two E1 ports), control interface %s\n", ctlIf.c_str());
  printf("  control UART: simulated on %s (%s)\n", sim.DevicePath().c_str(),
         sim.SlavePath().c_str());
  printf("  Ethernet pairs: veth interfaces %s (up) at %s and %s (down) at %s\n", kPair0,
         layout.pairDevs[0].c_str(), kPair1, layout.pairDevs[1].c_str());
  printf("  daemon: %s\n", lab::DaemonPath().c_str());

  // 1-3: the informational outputs.
  const std::string names =
      std::string("PREFIX##") + kSocketPrefix + "\nSUFFIX##" + kSocketSuffix + "\n";
  steps.Begin("Socket names for scripts: e1ctld -p", names + "status 0");
  lab::ToolRun r = lab::RunDaemon({"-p"});
  steps.Saw("printed", r.out);
  steps.Check(r.status == lab::ExitStatus::Exited(0), "status " + StatusText(r.status));
  steps.Check(r.out == names, "exactly the two lines");
  steps.End();

  const std::string pairTable = "ETHDEV##" + std::string(kPair0) + "##" + devs +
                                layout.pairDevs[0] + "##1##C251##0005##" + ctlIf + "##0\n" +
                                "ETHDEV##" + kPair1 + "##" + devs + layout.pairDevs[1] +
                                "##1##C251##0005##" + ctlIf + "##1\n";
  steps.Begin("Pair table: e1ctld -s -n (search all known controllers)",
              pairTable + "(one E1 port per pair: two ports over two pairs)");
  r = lab::RunDaemon({"-s", "-n"});
  steps.Saw("printed", r.out);
  steps.Check(r.status == lab::ExitStatus::Exited(0), "status " + StatusText(r.status));
  steps.Check(r.out == pairTable, "both pairs with their interface names and USB paths");
  steps.End();

  const std::string hubTable = "HUBETH##(null)##(null)##0##C251##0005\n";
  steps.Begin("Hub Ethernet table: e1ctld -e -n",
              hubTable + "(this model has no extra Ethernet function on its hub)");
  r = lab::RunDaemon({"-e", "-n"});
  steps.Saw("printed", r.out);
  steps.Check(r.status == lab::ExitStatus::Exited(0), "status " + StatusText(r.status));
  steps.Check(r.out == hubTable, "one line for the controller, index 0");
  steps.End();

  // 4: the daemon.
  const std::string sock0 = controller.PortPath(0);
  const std::string sock1 = controller.PortPath(1);
  const std::string lockPath = controller.LockPath();
  steps.Begin("Start the daemon: e1ctld -n --debugmsg",
              "it locks " + lockPath + ", opens " + sim.DevicePath() +
                  ",\nserves one socket per E1 port:\n" + sock0 + "\n" + sock1 +
                  "\nand finds both Ethernet pairs under their names");
  lab::DaemonProcess& daemon = rig.StartDaemon({"-n", "--debugmsg"});
  bool socketsUp = lab::WaitUntil([&] { return lab::Exists(sock0) && lab::Exists(sock1); }, 10s);
  bool steady = daemon.WaitForOutput(
      std::string("Ethername is the same '") + kPair0 + "'/'" + kPair0 + "'", 5s);
  steady =
      steady && daemon.WaitForOutput(
                    std::string("Ethername is the same '") + kPair1 + "'/'" + kPair1 + "'", 5s);
  std::string listing;
  for (const std::string& name : lab::ListDirectory(lab::SocketDirPath())) listing += name + "\n";
  steps.Saw("sockets", listing);
  steps.Saw("daemon log", Grep(daemon.Output(), {"flagged for repeat", "Ethername is the same"}));
  steps.Check(socketsUp, "both port sockets exist");
  pid_t holder = LockHolder(lockPath);
  steps.Check(holder == daemon.Pid(),
              "the daemon holds the lock file (" +
                  (holder > 0 ? "pid " + std::to_string(holder) : std::string("no holder")) + ")");
  steps.Check(steady, "both pairs found under their wanted names");
  steps.End();

  // 5: commands and replies.
  lab::PortClient c0, c1, intruder;
  steps.Begin("Commands on both E1 ports through their sockets",
              "port 0 sends \"status;loopback off\", port 1 sends \"status\"\n"
              "the controller receives \"CMD:port E1.<n> <command>\" lines and each client\n"
              "gets only the replies (\"ACK:E1.<n>:<text>\") of its own port, as <text>;\n"
              "a second client on a busy port is refused");
  int e0 = c0.Connect(sock0);
  int e1 = c1.Connect(sock1);
  steps.Check(e0 == 0 && e1 == 0, "both clients connected");
  std::this_thread::sleep_for(200ms);  // the port threads accept their clients
  c0.Send("status;loopback off\n");
  c1.Send("status\n");
  std::string got0 = TakeLines(&c0, 2, 3s);
  std::string got1 = TakeLines(&c1, 1, 3s);
  sim.WaitForLines(3, 3s);
  std::vector<std::string> uart = sim.LineTexts();
  steps.Saw("controller got", Lines(uart));
  steps.Saw("port 0 client", got0);
  steps.Saw("port 1 client", got1);
  int refused = intruder.Connect(sock0);
  steps.Saw("2nd client", refused == 0 ? "connected" : strerror(refused));
  std::vector<std::string> port0Cmds, port1Cmds;
  for (const std::string& l : uart) {
    if (l.rfind("CMD:port E1.0 ", 0) == 0) port0Cmds.push_back(l);
    if (l.rfind("CMD:port E1.1 ", 0) == 0) port1Cmds.push_back(l);
  }
  steps.Check(
      port0Cmds == std::vector<std::string>{"CMD:port E1.0 status", "CMD:port E1.0 loopback off"},
      "port 0's two commands reached the controller in order");
  steps.Check(port1Cmds == std::vector<std::string>{"CMD:port E1.1 status"},
              "port 1's command reached the controller");
  steps.Check(got0 == "E1.0 sync ok, no alarms\nok loopback off\n", "port 0 got its two replies");
  steps.Check(got1 == "E1.1 sync ok, no alarms\n", "port 1 got its reply and nothing else");
  steps.Check(refused == ECONNREFUSED, "the second client on port 0 was refused");
  intruder.Close();
  steps.End();

  // 6: inside the running daemon.
  steps.Begin("Look inside the running daemon: e1ctl status, e1ctl monitor -n 4",
              "status: the UART open on ttyACM0, a client on each port with its counters;\n"
              "monitor: each CMD: line written (tx, sent) and each reply read (rx,\n"
              "delivered), with its time in microseconds, the controller and the port");
  lab::ToolRun status = lab::RunE1ctl({"status", ctlIf});
  steps.Saw("e1ctl status", status.out + status.err);
  lab::ToolRun monitor;
  std::atomic<bool> watched{false};
  std::thread watcher([&] {
    monitor = lab::RunE1ctl({"monitor", ctlIf, "-n", "4"});
    watched = true;
  });
  // Port 1 asks again until the monitor has its lines: it attaches at its
  // own pace, and what went before it attached is not shown.
  for (int i = 0; i < 25 && !lab::WaitUntil([&] { return watched.load(); }, 200ms); ++i) {
    c1.Send("status\n");
  }
  watcher.join();
  TakeLines(&c1, 100, 100ms);
  steps.Saw("e1ctl monitor", monitor.out + monitor.err);
  steps.Check(status.status == lab::ExitStatus::Exited(0),
              "status " + StatusText(status.status) + ": served, UART open (a health check)");
  steps.Check(!Contains(status.out, "ttyACM0").empty(), "status names the tty");
  std::vector<std::string> seen;
  for (size_t at = 0; at < monitor.out.size();) {
    size_t nl = monitor.out.find('\n', at);
    seen.push_back(monitor.out.substr(at, nl - at));
    at = nl == std::string::npos ? monitor.out.size() : nl + 1;
  }
  const std::string tx = " " + ctlIf + " 1 tx sent CMD:port E1.1 status";
  const std::string rx = " " + ctlIf + " 1 rx delivered ACK:E1.1:E1.1 sync ok, no alarms";
  size_t txs = 0, rxs = 0;
  for (const std::string& l : seen) {
    txs += l.size() > tx.size() && l.compare(l.size() - tx.size(), tx.size(), tx) == 0 ? 1 : 0;
    rxs += l.size() > rx.size() && l.compare(l.size() - rx.size(), rx.size(), rx) == 0 ? 1 : 0;
  }
  steps.Check(monitor.status == lab::ExitStatus::Exited(0) && seen.size() == 4,
              "the monitor ended after 4 lines");
  steps.Check(txs >= 1 && rxs >= 1 && txs + rxs == 4,
              "commands written and replies delivered, nothing else");
  steps.End();

  // 7: unplug, replug as another tty, replay.
  steps.Begin("Unplug the controller, plug it back as ttyACM1",
              "the daemon notices the loss, finds the controller again as /dev/ttyACM1,\n"
              "and every port resends its last command block: the controller receives\n"
              "the three commands again, and the clients get the replies again");
  size_t logMark = daemon.Output().size();
  sim.Unplug();
  bool lost = daemon.WaitForOutput("TTY_loop: reports: POLLHUP", 5s);
  sim.ClearReceived();
  sim.Plug(1);
  bool replayed = sim.WaitForLines(3, 5s);
  std::this_thread::sleep_for(200ms);  // nothing more should come
  uart = sim.LineTexts();
  got0 = TakeLines(&c0, 2, 3s);
  got1 = TakeLines(&c1, 1, 3s);
  steps.Saw("daemon log", Grep(daemon.Output().substr(logMark),
                               {"reports:", "TTY port filename found", "Last command block"}));
  steps.Saw("controller got", Lines(uart));
  steps.Saw("port 0 client", got0);
  steps.Saw("port 1 client", got1);
  steps.Check(lost, "the daemon saw the hang-up");
  steps.Check(
      !Contains(daemon.Output().substr(logMark), "TTY port filename found: ttyACM1").empty(),
      "it found the controller as ttyACM1");
  std::vector<std::string> want = {"CMD:port E1.0 status", "CMD:port E1.0 loopback off",
                                   "CMD:port E1.1 status"};
  std::vector<std::string> sorted = uart;
  std::sort(sorted.begin(), sorted.end());
  std::sort(want.begin(), want.end());
  steps.Check(replayed && sorted == want, "the last blocks of both ports were replayed, once");
  steps.Check(
      got0 == "E1.0 sync ok, no alarms\nok loopback off\n" && got1 == "E1.1 sync ok, no alarms\n",
      "the replies of the replayed commands reached the clients");
  steps.End();

  // 8: end-of-file reply.
  steps.Begin("The controller ends a session: it sends \"ACK:E1.1:EOF\"",
              "the daemon closes port 1's client (it reads end of file), port 0's client\n"
              "stays, and port 1 accepts a new client");
  sim.Send("ACK:E1.1:EOF\n");
  bool closed1 = c1.WaitForEof(3s);
  bool reconnected = lab::WaitUntil([&] { return c1.Connect(sock1) == 0; }, 3s);
  c0.Send("status\n");
  got0 = TakeLines(&c0, 1, 3s);
  steps.Saw("port 1 client", closed1 ? "end of file" : "still open");
  steps.Saw("port 0 client", got0);
  steps.Check(closed1, "port 1's client was closed by the daemon");
  steps.Check(reconnected, "a new client got port 1");
  steps.Check(got0 == "E1.0 sync ok, no alarms\n", "port 0's client still works");
  steps.End();

  // 9: renamed Ethernet interface.
  steps.Begin(std::string("Rename ") + kPair0 + " to " + kStranger + " behind the daemon's back",
              std::string("the daemon renames it back to ") + kPair0 +
                  " and, since it was up, brings it up again;\n" + kPair1 + " is left alone");
  logMark = daemon.Output().size();
  bool held = daemon.Signal(SIGSTOP);  // no pass may see the interface half-way
  lab::SetInterfaceUp(kPair0, false);
  lab::RenameInterface(kPair0, kStranger);
  lab::SetInterfaceUp(kStranger, true);
  follower.SyncNow();
  std::string during = std::string(kStranger) + (lab::IsInterfaceUp(kStranger) ? " up" : " down") +
                       ", " + kPair0 + (lab::InterfaceExists(kPair0) ? " present" : " absent");
  bool resumed = daemon.Signal(SIGCONT);
  bool restored =
      daemon.WaitForOutput(std::string("Port '") + kPair0 + "' has returned to adm up state", 3s);
  steps.Saw("renamed", during);
  steps.Saw("daemon log", Grep(daemon.Output().substr(logMark), {"Port '"}));
  bool back = lab::InterfaceExists(kPair0);
  bool up = back && lab::IsInterfaceUp(kPair0);
  steps.Saw("now", std::string(kPair0) + (back ? (up ? " up" : " down") : " absent") + ", " +
                       kStranger + (lab::InterfaceExists(kStranger) ? " present" : " absent") +
                       ", " + kPair1 + (lab::IsInterfaceUp(kPair1) ? " up" : " down"));
  steps.Check(held && resumed, "the daemon was held while renaming");
  steps.Check(restored, "the daemon logged the rename back and the return to up");
  steps.Check(back && !lab::InterfaceExists(kStranger), std::string(kPair0) + " has its name back");
  steps.Check(up, std::string(kPair0) + " is up again");
  steps.Check(lab::InterfaceExists(kPair1) && !lab::IsInterfaceUp(kPair1),
              std::string(kPair1) + " unchanged (down)");
  steps.End();

  // 10: the end.
  steps.Begin("Stop the daemon: SIGTERM",
              "\"Abnormal exit, sig = 0000000F\", exit status 0, lock file removed");
  c0.Close();
  c1.Close();
  daemon.Signal(SIGTERM);
  lab::ExitStatus end = daemon.WaitExit(10s);
  steps.Saw("daemon log", Grep(daemon.Output(), {"Abnormal exit"}));
  steps.Saw("status", StatusText(end));
  steps.Check(end == lab::ExitStatus::Exited(0), "exit status 0");
  steps.Check(!Grep(daemon.Output(), {"Abnormal exit, sig = 0000000F"}).empty(),
              "the termination was logged");
  steps.Check(!lab::Exists(lockPath), "the lock file is gone");
  steps.End();

  double secs = std::chrono::duration<double>(Clock::now() - started).count();
  printf("\n");
  if (steps.Failed().empty()) {
    printf("e1demo: all %d steps did what was expected (%.1f s).\n", steps.Count(), secs);
    return 0;
  }
  std::string list;
  for (int n : steps.Failed()) list += (list.empty() ? "" : ", ") + std::to_string(n);
  printf("e1demo: %zu of %d steps did NOT do what was expected: step %s (%.1f s).\n",
         steps.Failed().size(), steps.Count(), list.c_str(), secs);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      printf(
          "Usage: e1demo\n"
          "Runs e1ctld against a simulated two-port controller in a throw-away sandbox\n"
          "(own mount, network and PID namespaces; needs root) and checks each step:\n"
          "the -p, -s and -e tables, commands and replies on both E1 ports, e1ctl\n"
          "status and monitor on the running daemon, replay\n"
          "after a replug, the end-of-file reply, an Ethernet rename undone, and the\n"
          "orderly stop. Exit status 0 when every step did what was expected, 1 when\n"
          "one did not, another value when the lab could not be set up.\n");
      return 0;
    }
    fprintf(stderr, "e1demo: unknown argument '%s' (see --help)\n", argv[i]);
    return 2;
  }
  lab::EnterSandbox(argc, argv);
  lab::SetDaemonPath(E1CTLD_PATH);
  lab::SetE1ctlPath(E1CTL_PATH);
  try {
    return RunDemo();
  } catch (const std::exception& e) {
    printf("\ne1demo: the lab failed: %s\n", e.what());
    return 3;
  }
}
