#include "bench/recovery.h"

#include <unistd.h>

#include <algorithm>
#include <thread>

namespace bench {

using namespace std::chrono_literals;

namespace {

double MsSince(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// One two-port controller whose ports each hold a block; each cycle pulls
// it out for 30 to 220 ms (every phase of a 200 ms look) and plugs it back
// as another tty, and takes the time from the replug to the last replayed
// line. Then it stays out while the daemon's idle cost is measured.
void MeasureReplugs(const Config& cfg, RecoveryResults* res) {
  lab::Rig l;
  BuildControllers(&l, 1, true, true);
  lab::DaemonProcess* daemon = StartDaemon(l);
  lab::SimController& sim = l.Sim(0);
  std::vector<int> clients;
  for (int port = 0; port < 2; ++port) {
    int fd = ConnectUnix(l.Controller(0).PortPath(port), 5s);
    LineReader r(fd);
    std::string block = "b" + std::to_string(port) + "x;b" + std::to_string(port) + "y";
    WriteAll(fd, block + "\n");
    if (r.Next() != "b" + std::to_string(port) + "x" ||
        r.Next() != "b" + std::to_string(port) + "y")
      Fail("replug set-up: wrong reply");
    clients.push_back(fd);
  }
  // A replay waits for 100 ms of client quiet: the search alone is measured.
  std::this_thread::sleep_for(150ms);
  for (int cycle = 0; cycle < cfg.replugCycles; ++cycle) {
    sim.Unplug();
    sim.ClearReceived();
    std::this_thread::sleep_for(std::chrono::milliseconds(30 + (cycle * 37) % 191));
    sim.Plug(cycle + 1);
    Clock::time_point back = Clock::now();
    if (!sim.WaitForLines(4, 3s)) Fail("no replay after a replug:\n" + sim.Received());
    std::vector<lab::ReceivedLine> lines = sim.Lines();
    res->replugMs.push_back(std::max(0.0, MsSince(back, lines.back().at)));
  }
  sim.Unplug();
  std::this_thread::sleep_for(500ms);
  res->missing = MeasureIdle(daemon->Pid(), cfg.idleSeconds);
  for (int fd : clients) close(fd);
}

// One two-pair controller on veth interfaces; each cycle renames the first
// pair's interface behind the daemon's back (the fake sysfs follows at once)
// at some phase of the main loop's turn, and takes the time until the
// interface has its name again.
void MeasureRenames(const Config& cfg, RecoveryResults* res) {
  lab::Rig l;
  l.ForgetInterfaces({"bnchother"});
  l.AddVethPair("bnch0");
  l.AddVethPair("bnch1");
  lab::ControllerSpec setup;
  setup.pid = 0x0005;  // the two-port model
  setup.pairs = {lab::EthFunction::NoNetDir(), lab::EthFunction::NoNetDir()};
  lab::UartSpec uart;
  uart.reply = lab::AckReplyRule();
  l.AddController(setup, uart);
  l.TrackPair(0, 0, "bnch0");
  l.TrackPair(0, 1, "bnch1");
  StartDaemon(l);
  std::this_thread::sleep_for(500ms);  // past the first passes
  for (int cycle = 0; cycle < cfg.renameCycles; ++cycle) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + (cycle * 53) % 200));
    Clock::time_point t0 = Clock::now();
    lab::RenameInterface("bnch0", "bnchother");
    l.Net().SyncNow();
    for (;;) {
      if (lab::InterfaceExists("bnch0")) break;
      if (Clock::now() - t0 > 5s) Fail("a renamed interface did not get its name back");
      usleep(200);
    }
    res->renameMs.push_back(MsSince(t0, Clock::now()));
  }
}

}  // namespace

RecoveryResults RunRecovery(const Config& cfg) {
  RecoveryResults res;
  MeasureReplugs(cfg, &res);
  MeasureRenames(cfg, &res);
  return res;
}

}  // namespace bench
