#include "bench/targets.h"

#include <stdio.h>

#include <vector>

namespace bench {

namespace {

struct Verdicts {
  int missed = 0;
  // `ok` empty: reported only.
  void Line(const std::string& what, const std::string& value, const std::string& target,
            std::optional<bool> ok) {
    const char* mark = !ok.has_value() ? "-" : *ok ? "PASS" : "FAIL";
    printf("| %s | %s | %s | %s |\n", mark, what.c_str(), value.c_str(), target.c_str());
    if (ok.has_value() && !*ok) ++missed;
  }
};

void Header(const char* title) {
  printf("\n%s\n\n| met | figure | value | target |\n|---|---|---|---|\n", title);
}

void RoundTrips(const Config& cfg, const RoundTripResults& rt, std::map<std::string, double>* j,
                Verdicts* v) {
  printf("\n| path | p50 us | p90 us | p99 us | replies/s (window %d) | CPU us/round trip |\n",
         cfg.window);
  printf("|---|---|---|---|---|---|\n");
  for (const PathRow& r : rt.rows) {
    printf("| %s | %s | %s | %s | %s | %s |\n", r.name.c_str(), Fixed(r.f.p50).c_str(),
           Fixed(r.f.p90).c_str(), Fixed(r.f.p99).c_str(), Fixed(r.f.repliesPerSec, 0).c_str(),
           r.f.cpuUsPerRt < 0 ? "-" : Fixed(r.f.cpuUsPerRt).c_str());
    (*j)[r.name + ".p50_us"] = r.f.p50;
    (*j)[r.name + ".p90_us"] = r.f.p90;
    (*j)[r.name + ".p99_us"] = r.f.p99;
    (*j)[r.name + ".replies_per_s"] = r.f.repliesPerSec;
    if (r.f.cpuUsPerRt >= 0) (*j)[r.name + ".cpu_us_per_rt"] = r.f.cpuUsPerRt;
  }
  const LatencyFigures& d = rt.Of("e1ctld");
  const LatencyFigures& m = rt.Of("e1ctld + monitor");
  const LatencyFigures& floor = rt.Of("direct pty");
  const LatencyFigures& so = rt.Of("socat");
  double addD50 = d.p50 - floor.p50, addS50 = so.p50 - floor.p50, addM50 = m.p50 - floor.p50;
  double addD99 = d.p99 - floor.p99, addS99 = so.p99 - floor.p99;
  (*j)["added_p50_us.e1ctld"] = addD50;
  (*j)["added_p50_us.e1ctld_monitored"] = addM50;
  (*j)["added_p50_us.socat"] = addS50;
  (*j)["added_p99_us.e1ctld"] = addD99;
  (*j)["added_p99_us.socat"] = addS99;
  (*j)["monitor_lines"] = static_cast<double>(rt.monitorLines);

  Header("Round trips against socat (the same run), without a monitor:");
  // A busy machine shows in the floor itself: its tail far above its median
  // means the latency comparisons measured the load, not the paths, and
  // cannot show a target met.
  double floorTail = floor.p50 > 0 ? floor.p99 / floor.p50 : 0;
  (*j)["direct_pty.p99_over_p50"] = floorTail;
  bool quiet = floorTail <= 3;
  std::string busy = quiet ? "" : " (machine busy: not shown)";
  v->Line("direct pty p99 / p50 (a busy machine shows here)", Fixed(floorTail, 2),
          "(reported; above 3 the latency verdicts fail)", std::nullopt);
  // Added latency moves by a few microseconds from run to run on a shared
  // machine (runs before this one measured 0.8 to 1.2 times socat's).
  v->Line("added latency p50 (over direct pty)", Fixed(addD50) + " us",
          "<= 1.25 x socat's " + Fixed(addS50) + " us" + busy, quiet && addD50 <= 1.25 * addS50);
  v->Line("added latency p99 (over direct pty)", Fixed(addD99) + " us",
          "<= 1.25 x socat's " + Fixed(addS99) + " us" + busy, quiet && addD99 <= 1.25 * addS99);
  // The direct pty path is no faster here: the figure is bound by the
  // simulator, and runs of the same binary land on either side of socat's.
  v->Line("pipelined replies/s", Fixed(d.repliesPerSec, 0),
          ">= 0.9 x socat's " + Fixed(so.repliesPerSec, 0),
          d.repliesPerSec >= 0.9 * so.repliesPerSec);
  v->Line("CPU per round trip", Fixed(d.cpuUsPerRt) + " us",
          "<= socat's " + Fixed(so.cpuUsPerRt) + " us", d.cpuUsPerRt <= so.cpuUsPerRt);
  v->Line("added latency p50 with a monitor attached", Fixed(addM50) + " us",
          "(reported; " + std::to_string(rt.monitorLines) + " monitor lines)", std::nullopt);
  v->Line("pipelined replies/s with a monitor attached", Fixed(m.repliesPerSec, 0), "(reported)",
          std::nullopt);
  v->Line("CPU per round trip with a monitor attached", Fixed(m.cpuUsPerRt) + " us",
          "(reported, the daemon alone)", std::nullopt);
}

void Scale(const ScaleResults& s, std::map<std::string, double>* j, Verdicts* v) {
  printf(
      "\n| controllers | ready ms | threads | descriptors | RSS KB | idle CPU %% | wake-ups/s |\n");
  printf("|---|---|---|---|---|---|---|\n");
  for (const auto& [n, f] : s.bySize) {
    printf("| %d | %s | %d | %d | %lld | %s | %s |\n", n, Fixed(f.readyMs).c_str(), f.threads,
           f.descriptors, static_cast<long long>(f.rssKb), Fixed(f.idle.cpuPct, 4).c_str(),
           Fixed(f.idle.wakeupsPerSec).c_str());
    std::string k = std::to_string(n);
    (*j)["ready_ms." + k] = f.readyMs;
    (*j)["threads." + k] = f.threads;
    (*j)["descriptors." + k] = f.descriptors;
    (*j)["rss_kb." + k] = static_cast<double>(f.rssKb);
    (*j)["idle_cpu_pct." + k] = f.idle.cpuPct;
    (*j)["idle_wakeups_per_s." + k] = f.idle.wakeupsPerSec;
    (*j)["main_loop_turns_per_s." + k] = f.idle.turnsPerSec;
  }
  Header("Idle cost and size (two-port controllers, one client each, Ethernet pass on):");
  (*j)["discovery_ms.64"] = s.discoveryMs;
  (*j)["failing_pairs.main_cpu_pct"] = s.failingPairs.mainCpuPct;
  (*j)["failing_pairs.cpu_pct"] = s.failingPairs.cpuPct;
  auto one = s.bySize.find(1);
  auto eight = s.bySize.find(8);
  if (one != s.bySize.end()) {
    const ScaleFigures& f1 = one->second;
    // A thread that only wakes every 200 ms already costs this machine
    // 0.02 % to 0.04 % of a core: the daemon's own cost is judged above that
    // floor, measured over the same window, and both are shown.
    double above = f1.idle.cpuPct - f1.idle.floorPct;
    (*j)["idle_floor_pct.1"] = f1.idle.floorPct;
    v->Line("idle CPU, 1 controller with a client (whole daemon)",
            Fixed(f1.idle.cpuPct, 4) + " % of a core", "(reported)", std::nullopt);
    v->Line("the machine's floor: a thread waking every 200 ms, same window",
            Fixed(f1.idle.floorPct, 4) + " % of a core", "(reported)", std::nullopt);
    v->Line("idle CPU, 1 controller with a client, above that floor",
            Fixed(above, 4) + " % of a core", "< 0.03 %", above < 0.03);
    v->Line("idle wake-ups, 1 controller with a client", Fixed(f1.idle.wakeupsPerSec) + " /s",
            "<= 7 /s", f1.idle.wakeupsPerSec <= 7);
    v->Line("resident memory, 1 two-port controller", std::to_string(f1.rssKb) + " KB", "< 4096 KB",
            f1.rssKb < 4096);
  }
  if (one != s.bySize.end() && eight != s.bySize.end()) {
    const IdleFigures& i1 = one->second.idle;
    const IdleFigures& i8 = eight->second.idle;
    double cpu = (i8.cpuPct - i1.cpuPct) / 7.0;
    double wake = (i8.wakeupsPerSec - i1.wakeupsPerSec) / 7.0;
    (*j)["idle_cpu_pct_per_further_controller"] = cpu;
    (*j)["idle_wakeups_per_s_per_further_controller"] = wake;
    v->Line("idle CPU per further controller (1 to 8)", Fixed(cpu, 4) + " % of a core", "< 0.005 %",
            cpu < 0.005);
    v->Line("idle wake-ups per further controller (1 to 8)", Fixed(wake, 2) + " /s", "< 0.2 /s",
            wake < 0.2);
    v->Line("main loop turns per second (8 idle)", Fixed(i8.turnsPerSec), "about 5 (200 ms turns)",
            i8.turnsPerSec >= 4.5 && i8.turnsPerSec <= 5.5);
    double perKb = static_cast<double>(eight->second.rssKb - one->second.rssKb) / 7.0;
    (*j)["rss_kb_per_further_controller"] = perKb;
    v->Line("resident memory per further controller (1 to 8)", Fixed(perKb) + " KB", "< 300 KB",
            perKb < 300);
  }
  auto most = s.bySize.rbegin();
  if (most != s.bySize.rend()) {
    v->Line("ready, " + std::to_string(most->first) + " controllers",
            Fixed(most->second.readyMs) + " ms", "(reported)", std::nullopt);
  }
  v->Line("discovery of 64 controllers (median, whole run)", Fixed(s.discoveryMs, 2) + " ms",
          "< 50 ms", s.discoveryMs < 50);
  v->Line("64 controllers, 128 failing renames: main thread",
          Fixed(s.failingPairs.mainCpuPct, 2) + " % of a core (" + std::to_string(s.renameErrors) +
              " failures)",
          "< 5 %", s.failingPairs.mainCpuPct < 5);
}

void Recovery(const RecoveryResults& rc, std::map<std::string, double>* j, Verdicts* v) {
  double r50 = Percentile(rc.replugMs, 0.5), r90 = Percentile(rc.replugMs, 0.9);
  double rMax = Percentile(rc.replugMs, 1.0);
  double n50 = Percentile(rc.renameMs, 0.5), n90 = Percentile(rc.renameMs, 0.9);
  double nMax = Percentile(rc.renameMs, 1.0);
  (*j)["replug_ms.p50"] = r50;
  (*j)["replug_ms.p90"] = r90;
  (*j)["replug_ms.max"] = rMax;
  (*j)["rename_undone_ms.p50"] = n50;
  (*j)["rename_undone_ms.p90"] = n90;
  (*j)["rename_undone_ms.max"] = nMax;
  (*j)["missing_controller.idle_cpu_pct"] = rc.missing.cpuPct;
  (*j)["missing_controller.idle_wakeups_per_s"] = rc.missing.wakeupsPerSec;
  Header("Recovery:");
  std::string cycles = std::to_string(rc.replugMs.size()) + " cycles";
  v->Line("replug to replayed blocks, median (" + cycles + ")", Fixed(r50) + " ms", "< 25 ms",
          r50 < 25);
  v->Line("replug to replayed blocks, p90", Fixed(r90) + " ms", "(reported)", std::nullopt);
  v->Line("replug to replayed blocks, max", Fixed(rMax) + " ms", "< 60 ms", rMax < 60);
  // The 200 ms looks alone measured 0.13 % of a core and 5 serial wake-ups a
  // second for the whole daemon with its controller missing.
  // Two threads wake every 200 ms while it is missing (the main loop and
  // the serial thread's look): twice the floor is the machine's part.
  double missingAbove = rc.missing.cpuPct - 2 * rc.missing.floorPct;
  (*j)["missing_controller.floor_pct"] = rc.missing.floorPct;
  v->Line("idle CPU, the controller missing (whole daemon)",
          Fixed(rc.missing.cpuPct, 4) + " % of a core", "(reported)", std::nullopt);
  v->Line("idle CPU, the controller missing, above two 200 ms threads' floor",
          Fixed(missingAbove, 4) + " % of a core", "< 0.1 % (no more than 200 ms looks)",
          missingAbove < 0.1);
  v->Line("idle wake-ups, the controller missing", Fixed(rc.missing.wakeupsPerSec) + " /s",
          "<= 11 /s (main loop and 200 ms looks)", rc.missing.wakeupsPerSec <= 11);
  cycles = std::to_string(rc.renameMs.size()) + " cycles";
  v->Line("foreign rename undone, median (" + cycles + ")", Fixed(n50) + " ms", "< 40 ms",
          n50 < 40);
  v->Line("foreign rename undone, p90", Fixed(n90) + " ms", "(reported)", std::nullopt);
  v->Line("foreign rename undone, max", Fixed(nMax) + " ms", "< 100 ms", nMax < 100);
  v->Line("foreign rename undone, never above", Fixed(nMax) + " ms", "<= 250 ms", nMax <= 250);
}

}  // namespace

int PrintAndJudge(const Config& cfg, const Results& r, std::map<std::string, double>* json) {
  Verdicts v;
  if (r.roundTrips) RoundTrips(cfg, *r.roundTrips, json, &v);
  if (r.scale) Scale(*r.scale, json, &v);
  if (r.recovery) Recovery(*r.recovery, json, &v);
  return v.missed;
}

}  // namespace bench
