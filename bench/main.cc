// Measures the daemon in the lab and judges it against its targets: round
// trips against the direct pty path and socat (also with a monitor
// attached), idle cost and size from 1 to 128 controllers, discovery, the
// main thread with failing renames, recovery after a replug and after a
// foreign rename. Prints tables and PASS/FAIL lines, writes the figures as
// JSON, and exits 1 when a target is missed (0 with --no-judge), 2 when a
// measurement could not be taken.
#include <stdio.h>
#include <stdlib.h>
#include <sys/utsname.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "bench/bench_util.h"
#include "bench/recovery.h"
#include "bench/round_trips.h"
#include "bench/scale.h"
#include "bench/targets.h"
#include "lab/lab.h"

namespace {

const char kUsage[] =
    "usage: e1bench [--quick] [--no-judge] [--phases LIST] [--json FILE] [--help]\n"
    "  --quick      fewer round trips, rounds, cycles and shorter idle times\n"
    "  --no-judge   print the verdicts but exit 0 when targets are missed\n"
    "  --phases     comma-separated: round-trips, scale, recovery (default: all)\n";

std::set<std::string> SplitPhases(const std::string& list) {
  std::set<std::string> out;
  std::stringstream in(list);
  std::string p;
  while (std::getline(in, p, ',')) {
    if (p != "round-trips" && p != "scale" && p != "recovery") bench::Fail("unknown phase " + p);
    out.insert(p);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  lab::EnterSandbox(argc, argv);
  // E1_LAB_DAEMON measures another build (or a wrapper such as strace).
  const char* other = getenv("E1_LAB_DAEMON");
  lab::SetDaemonPath(other != nullptr ? other : E1CTLD_PATH);
  lab::SetE1ctlPath(E1CTL_PATH);
  bench::Config cfg;
  std::set<std::string> phases = {"round-trips", "scale", "recovery"};
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--quick") {
      cfg.rounds = 300;
      cfg.pipelined = 2000;
      cfg.idleSeconds = 1;
      cfg.discoveryRuns = 3;
      cfg.comparisonRounds = 1;
      cfg.replugCycles = 5;
      cfg.renameCycles = 5;
    } else if (a == "--no-judge") {
      cfg.judge = false;
    } else if (a == "--phases" && i + 1 < argc) {
      phases = SplitPhases(argv[++i]);
    } else if (a == "--json" && i + 1 < argc) {
      cfg.json = argv[++i];
    } else if (a == "--help") {
      fputs(kUsage, stdout);
      return 0;
    } else {
      fputs(kUsage, stderr);
      return 2;
    }
  }

  bench::Results r;
  if (phases.count("round-trips")) r.roundTrips = bench::RunRoundTrips(cfg);
  if (phases.count("scale")) r.scale = bench::RunScale(cfg);
  if (phases.count("recovery")) r.recovery = bench::RunRecovery(cfg);

  struct utsname u;
  uname(&u);
  printf(
      "e1ctld benchmark on %s %s, %u cores: per path and round %d round trips and %d pipelined\n"
      "replies (window %d); each figure the median of %d rounds taken in turns\n",
      u.sysname, u.release, std::thread::hardware_concurrency(), cfg.rounds, cfg.pipelined,
      cfg.window, cfg.comparisonRounds);
  std::map<std::string, double> out;
  int missed = bench::PrintAndJudge(cfg, r, &out);
  printf("\n%s\n", missed == 0 ? "All targets met."
                               : (std::to_string(missed) + " target(s) missed.").c_str());

  std::ofstream j(cfg.json);
  j << "{\n  \"machine\": \"" << u.sysname << " " << u.release << " " << u.machine << ", "
    << std::thread::hardware_concurrency() << " cores\",\n  \"targets_missed\": " << missed;
  for (const auto& [k, v] : out) j << ",\n  \"" << k << "\": " << v;
  j << "\n}\n";
  printf("JSON written to %s\n", cfg.json.c_str());
  return missed > 0 && cfg.judge ? 1 : 0;
}
