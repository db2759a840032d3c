#include "bench/scale.h"

#include <unistd.h>

#include <algorithm>
#include <thread>

namespace bench {

using namespace std::chrono_literals;

namespace {

ScaleFigures MeasureSize(const Config& cfg, int n) {
  ScaleFigures f;
  lab::Rig l;
  BuildControllers(&l, n, true, true);
  // Every pair's interface exists, as in service: the pass then follows it
  // by the kernel's link notifications instead of looking at it each turn.
  for (size_t i = 0; i < l.Controllers(); ++i) {
    for (const std::string& name : l.Controller(i).layout.pairNames) l.AddVethPair(name);
  }
  auto t0 = Clock::now();
  lab::DaemonProcess* daemon = StartDaemon(l);
  f.readyMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  std::vector<int> clients;
  for (size_t i = 0; i < l.Controllers(); ++i) {
    int fd = ConnectUnix(l.Controller(i).PortPath(0), 5s);
    LineReader r(fd);
    WriteAll(fd, "q0\n");
    if (r.Next() != "q0") Fail("idle client: wrong reply");
    clients.push_back(fd);
  }
  std::this_thread::sleep_for(1s);
  f.threads = Threads(daemon->Pid());
  f.descriptors = Descriptors(daemon->Pid());
  f.rssKb = RssKb(daemon->Pid());
  f.idle = MeasureIdle(daemon->Pid(), cfg.idleSeconds);
  for (int fd : clients) close(fd);
  return f;
}

double MeasureDiscovery(const Config& cfg) {
  lab::Rig l;
  BuildControllers(&l, 64, false);
  std::vector<double> ms;
  for (int i = 0; i < cfg.discoveryRuns; ++i) {
    auto t0 = Clock::now();
    lab::ToolRun r = lab::RunDaemon({"-n", "-s"});
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    size_t lines = static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
    if (r.status != lab::ExitStatus::Exited(0) || lines != 64) {
      Fail("discovery run found " + std::to_string(lines) + " pairs");
    }
  }
  return Percentile(ms, 0.5);
}

// 64 two-port controllers whose 128 pairs all find, after the start, their
// interface under another name while the wanted name belongs to an
// interface outside the daemon's pairs (the two ends of one veth pair):
// every pass tries each rename and fails, and logs it, as in service.
void MeasureFailingPairs(const Config& cfg, ScaleResults* res) {
  lab::Rig l;
  BuildControllers(&l, 64, true, true);
  std::vector<std::string> names;
  for (size_t i = 0; i < l.Controllers(); ++i) {
    const lab::ControllerLayout& layout = l.Controller(i).layout;
    for (size_t p = 0; p < layout.pairNames.size(); ++p) {
      names.push_back(layout.pairNames[p]);
      names.push_back("gone" + std::to_string(i) + "x" + std::to_string(p));
    }
  }
  l.ForgetInterfaces(names);
  for (size_t k = 0; k < names.size(); k += 2) lab::CreateVethPair(names[k], names[k + 1]);
  lab::DaemonProcess* daemon = StartDaemon(l, {}, false);
  std::this_thread::sleep_for(500ms);  // past the first passes, every pair in its steady state
  size_t k = 0;
  for (size_t i = 0; i < l.Controllers(); ++i) {
    const lab::ControllerLayout& layout = l.Controller(i).layout;
    for (size_t p = 0; p < layout.pairDevs.size(); ++p, k += 2) {
      l.usb.RenameNet(layout.pairDevs[p] + ":1.0", names[k], names[k + 1]);
    }
  }
  const std::string error = "Error renaming 'gone";
  auto until = Clock::now() + 10s;
  while (lab::CountOf(daemon->Output(), error) < 128) {
    if (Clock::now() > until) Fail("the renames do not fail:\n" + daemon->Output());
    std::this_thread::sleep_for(20ms);
  }
  size_t before = lab::CountOf(daemon->Output(), error);
  res->failingPairs = MeasureIdle(daemon->Pid(), cfg.idleSeconds);
  res->renameErrors = static_cast<long>(lab::CountOf(daemon->Output(), error) - before);
}

}  // namespace

ScaleResults RunScale(const Config& cfg) {
  ScaleResults res;
  for (int n : cfg.scaleSizes) res.bySize[n] = MeasureSize(cfg, n);
  res.discoveryMs = MeasureDiscovery(cfg);
  MeasureFailingPairs(cfg, &res);
  return res;
}

}  // namespace bench
