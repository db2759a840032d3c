// Seeded chaos: two controllers (one and two E1 ports), clients coming and
// going on every port with command floods cut into random writes, the
// controller reading at random paces with stalls, replugs under the same
// and other ttyACM numbers, end-of-file replies, reply floods to slow and
// fast clients, SIGSTOP/SIGCONT and interfaces renamed behind the daemon's
// back; then the oracle (chaos_oracle.h) judges what reached the line and
// the clients. The seed fixes the whole script; it is printed with the
// counts, and E1_CHAOS_SEED=<n> runs it again.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"
#include "lab/rig_test.h"
#include "tests/chaos/chaos_oracle.h"
#include "tests/chaos/chaos_replies.h"
#include "tests/chaos/chaos_workload.h"

namespace {

using namespace std::chrono_literals;
using chaos::Clock;
using chaos::Time;
using lab::Ms;

const std::vector<int> kCtlPorts = {1, 2};  // E1 ports (and Ethernet pairs) per controller
const char* const kPairNames[2][2] = {{"ch0p0", ""}, {"ch1p0", "ch1p1"}};
const char* const kAliases[2][2] = {{"chz0p0", ""}, {"chz1p0", "chz1p1"}};

void Sleep(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The rig of the suite: controller 0 a one-port model as ttyACM0, controller
// 1 a two-port model as ttyACM1, their Ethernet pairs veth interfaces.
void BuildRig(lab::Rig& rig) {
  std::vector<std::string> aliases;
  for (auto& row : kAliases) {
    for (const char* a : row) {
      if (*a != '\0') aliases.emplace_back(a);
    }
  }
  rig.ForgetInterfaces(aliases);
  for (auto& row : kPairNames) {
    for (const char* n : row) {
      if (*n != '\0') rig.AddVethPair(n);
    }
  }
  lab::ControllerSpec one;
  one.pid = lab::kOnePortPid;
  one.hub = "1-1";
  one.pairs = {lab::EthFunction::NoNetDir()};
  lab::ControllerSpec two;
  two.pid = lab::kTwoPortPid;
  two.hub = "2-1";
  two.pairs = {lab::EthFunction::NoNetDir(), lab::EthFunction::NoNetDir()};
  for (const lab::ControllerSpec& model : {one, two}) {
    lab::UartSpec uart;
    uart.ttyName = "ttyACM" + std::to_string(rig.Controllers());
    rig.AddController(model, uart).sim->KeepPendingOnUnplug(true);
  }
  for (size_t c = 0; c < 2; ++c) {
    for (int p = 0; p < kCtlPorts[c]; ++p)
      rig.TrackPair(c, static_cast<size_t>(p), kPairNames[c][p]);
  }
}

// True when the process `pid` has `path` open.
bool Holds(pid_t pid, const std::string& path) {
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  for (const std::string& fd : lab::ListDirectory(dir)) {
    char target[256];
    ssize_t n = readlink((dir + "/" + fd).c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) return true;
  }
  return false;
}

class ChaosRun {
 public:
  ChaosRun(lab::Rig& rig, uint64_t seed, int durationMs)
      : rig_(rig), script_(chaos::MakeScript(seed, durationMs, kCtlPorts)) {
    obs_.script = &script_;
    obs_.ports.resize(script_.ports.size());
    obs_.ctls.resize(kCtlPorts.size());
  }
  // The simulators outlive the run: their reader threads may be inside the
  // reply rule this moment, so the rule is shut before the run goes.
  ~ChaosRun() {
    {
      std::lock_guard<std::mutex> lock(gate_->mu);
      gate_->open = false;
    }
    for (size_t c = 0; c < rig_.Controllers(); ++c) {
      if (rig_.Controller(c).sim != nullptr) rig_.Sim(c).SetReplyRule(nullptr);
    }
  }
  ChaosRun(const ChaosRun&) = delete;
  ChaosRun& operator=(const ChaosRun&) = delete;

  // Runs the script and judges it; the findings go to the test as failures.
  void Go() {
    const uint64_t seed = script_.seed;
    printf("chaos: seed %llu, %d ms\n", static_cast<unsigned long long>(seed), script_.durationMs);
    fflush(stdout);
    rig_.StartDaemon({"-n"});
    std::string missing = rig_.WaitSockets(Ms(5000));
    ASSERT_EQ(missing, "") << "seed " << seed;
    // Every sender before any rule: the rules run on the simulators' threads.
    for (size_t c = 0; c < kCtlPorts.size(); ++c) {
      senders_.push_back(
          std::make_unique<chaos::ReplySender>(rig_.Controller(c).sim.get(), &obs_.ports));
    }
    for (size_t c = 0; c < kCtlPorts.size(); ++c) InstallReplyRule(c);
    std::thread watcher([this] { WatchLog(); });
    start_ = Clock::now();
    std::vector<std::thread> clients;
    for (size_t k = 0; k < script_.ports.size(); ++k)
      clients.emplace_back([this, k] { RunPort(k); });
    RunEvents();
    // Quiet: the controllers read at full pace, every client has written
    // everything, nothing moves on the lines and no reply waits.
    lab::WaitUntil([this] { return atFinal_.load() == script_.ports.size(); }, Ms(60000));
    std::vector<size_t> sizes(kCtlPorts.size(), 0);
    lab::WaitUntil(
        [&] {
          bool still = true;
          for (size_t c = 0; c < kCtlPorts.size(); ++c) {
            size_t n = rig_.Sim(c).Received().size();
            if (n != sizes[c] || !senders_[c]->Drained()) still = false;
            sizes[c] = n;
          }
          if (!still) Sleep(500);
          return still;
        },
        Ms(60000));
    quiesced_ = true;
    for (auto& t : clients) t.join();
    // The daemon puts the renamed interfaces back.
    bool names = lab::WaitUntil(
        [] {
          for (auto& row : kPairNames) {
            for (const char* n : row) {
              if (*n != '\0' && !lab::InterfaceExists(n)) return false;
            }
          }
          return true;
        },
        Ms(3000));
    for (auto& s : senders_) s->Allow(false);
    stopWatch_ = true;
    watcher.join();
    for (size_t c = 0; c < kCtlPorts.size(); ++c) rig_.Sim(c).SetReplyRule(nullptr);
    obs_.end = Clock::now();

    // The stop: exit status 0, and not a byte on the lines after the exit.
    ASSERT_TRUE(rig_.Daemon().Signal(SIGTERM));
    lab::ExitStatus status = rig_.Daemon().WaitExit(Ms(5000));
    for (size_t c = 0; c < kCtlPorts.size(); ++c) sizes[c] = rig_.Sim(c).Received().size();
    Sleep(300);
    std::vector<std::string> findings;
    for (size_t c = 0; c < kCtlPorts.size(); ++c) {
      if (rig_.Sim(c).Received().size() != sizes[c]) {
        findings.push_back("controller " + std::to_string(c) +
                           " got bytes after the daemon's exit");
      }
      obs_.ctls[c].lines = rig_.Sim(c).Lines();
    }
    if (!(status == lab::ExitStatus::Exited(0)))
      findings.push_back("exit status after SIGTERM is not 0");
    if (!names) findings.push_back("a renamed interface did not get its name back");
    for (const std::string& f : clientFindings_) findings.push_back(f);

    chaos::Verdict v = chaos::Judge(obs_);
    findings.insert(findings.end(), v.findings.begin(), v.findings.end());
    for (const chaos::Event& e : script_.events)
      ++v.counts[std::string("events: ") + chaos::EventName(e.kind)];
    for (const auto& list : script_.sessions) {
      for (const chaos::Session& s : list) {
        ++v.counts["client sessions"];
        if (s.endByEof) ++v.counts["end-of-file replies asked"];
        if (s.floodBytes > 0) ++v.counts["reply floods"];
      }
    }
    v.counts["errno=11 stalls logged"] = obs_.stallLogs.size();
    printf("chaos: seed %llu took %ld ms\n", static_cast<unsigned long long>(seed),
           lab::ElapsedMs(start_));
    for (const auto& [what, n] : v.counts) printf("chaos:   %-44s %zu\n", what.c_str(), n);
    const std::string& out = rig_.Daemon().Output();
    printf("chaos:   %-44s %zu\n", "daemon log: commands dropped as too long",
           lab::CountOf(out, "dropped: too long"));
    fflush(stdout);
    // One fault often brings many findings: each kind is counted, and the
    // first of each shown.
    std::map<std::string, size_t> kinds;
    for (const std::string& f : findings) {
      std::string kind = f.substr(0, std::min({f.find(" (line"), f.find(": len"), f.find('\n')}));
      if (kinds[kind]++ == 0 && kinds.size() <= 12) ADD_FAILURE() << "seed " << seed << ": " << f;
    }
    for (const auto& [kind, n] : kinds) printf("chaos: finding x%zu: %s\n", n, kind.c_str());
    if (!findings.empty()) {
      ADD_FAILURE() << "seed " << seed << ": " << findings.size()
                    << " findings; rerun with E1_CHAOS_SEED=" << seed
                    << " E1_CHAOS_CASE_SECONDS=" << script_.durationMs / 1000;
    }
  }

 private:
  void InstallReplyRule(size_t c) {
    rig_.Sim(c).SetReplyRule(
        [this, c, gate = gate_](const std::string& line) -> std::optional<std::string> {
          std::lock_guard<std::mutex> lock(gate->mu);
          if (!gate->open) return std::nullopt;
          int port = 0;
          std::string text;
          if (!lab::ParseCommandLine(line, &port, &text)) return std::nullopt;
          for (size_t k = 0; k < script_.ports.size(); ++k) {
            if (script_.ports[k].ctl == c && script_.ports[k].port == port) {
              uint64_t n = replyCounter_++;
              senders_[c]->Enqueue(k, port, "R" + std::to_string(n) + std::string(n % 40, '.'));
            }
          }
          return std::nullopt;
        });
  }

  void Flood(size_t k, size_t bytes) {
    const chaos::PortRef& ref = script_.ports[k];
    for (size_t done = 0; done < bytes; done += 200) {
      uint64_t n = replyCounter_++;
      std::string text = "F" + std::to_string(n) + "-";
      text.resize(190, 'f');
      senders_[ref.ctl]->Enqueue(k, ref.port, text);
    }
  }

  void WatchLog() {
    size_t seen = 0;
    while (!stopWatch_) {
      size_t now = lab::CountOf(rig_.Daemon().Output(), "errno=11");
      for (; seen < now; ++seen) obs_.stallLogs.push_back(Clock::now());
      Sleep(10);
    }
  }

  void AddClientFinding(const std::string& f) {
    std::lock_guard<std::mutex> lock(findingsMu_);
    clientFindings_.push_back(f);
  }

  void RunPort(size_t k) {
    const chaos::PortRef& ref = script_.ports[k];
    const std::string path = rig_.Controller(ref.ctl).PortPath(ref.port);
    const auto& sessions = script_.sessions[k];
    for (size_t si = 0; si < sessions.size(); ++si) {
      const chaos::Session& s = sessions[si];
      bool final = si + 1 == sessions.size();
      obs_.ports[k].sessions.emplace_back();
      chaos::SessionRecord& rec = obs_.ports[k].sessions.back();
      for (const chaos::Write& w : s.writes) rec.text += w.bytes;
      Sleep(s.delayBeforeMs);
      lab::PortClient client;
      // One client at a time: while the last one is being closed the port
      // refuses; that is no fault, so try again.
      if (!lab::WaitUntil([&] { return client.Connect(path) == 0; }, Ms(10000))) {
        AddClientFinding("port " + std::to_string(k) + " refused every connection for 10 s");
        if (final) ++atFinal_;
        continue;
      }
      rec.connected = true;
      rec.connectAt = Clock::now();
      std::atomic<int64_t> pausedUntil{0};
      std::atomic<bool> stopReading{false};
      std::atomic<bool> sawEof{false};
      std::thread reader(
          [&] { ReadReplies(client.Fd(), &rec, &pausedUntil, &stopReading, &sawEof); });
      if (s.floodBytes > 0 && s.readPauseAtWrite < 0) Flood(k, s.floodBytes);
      for (size_t i = 0; i < s.writes.size() && !sawEof; ++i) {
        if (static_cast<int>(i) == s.readPauseAtWrite) {
          rec.readPaused = true;
          pausedUntil = NowMs() + s.readPauseMs;
          Flood(k, s.floodBytes);
        }
        chaos::WriteRecord wr;
        wr.start = Clock::now();
        bool ok = client.Send(s.writes[i].bytes);
        wr.done = Clock::now();
        wr.end = (rec.writes.empty() ? 0 : rec.writes.back().end) + s.writes[i].bytes.size();
        rec.writes.push_back(wr);
        if (!ok) {
          rec.writeFailed = true;
          break;
        }
        Sleep(s.writes[i].pauseAfterMs);
      }
      // The daemon reads everything before the client goes.
      if (!sawEof && !rec.writeFailed &&
          !lab::WaitUntil([&] { return sawEof || client.Unread() == 0; }, Ms(30000))) {
        rec.drainTimedOut = true;
      }
      if (final) {
        ++atFinal_;
        while (!quiesced_) Sleep(10);
        pausedUntil = 0;
        Sleep(300);
      } else if (s.endByEof && !sawEof) {
        Sleep(150);  // the unterminated tail goes out first
        rec.eofRequested = true;
        senders_[ref.ctl]->Enqueue(k, ref.port, "", true);
        lab::WaitUntil([&] { return sawEof.load(); }, Ms(3000));
      } else {
        Sleep(s.lingerMs);
      }
      stopReading = true;
      reader.join();
      rec.sawEof = sawEof;
      client.Close();
      rec.closeAt = Clock::now();
    }
  }

  static int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
  }

  static void ReadReplies(int fd, chaos::SessionRecord* rec, std::atomic<int64_t>* pausedUntil,
                          std::atomic<bool>* stop, std::atomic<bool>* sawEof) {
    std::string partial;
    char buf[65536];
    while (!*stop) {
      if (NowMs() < *pausedUntil) {
        Sleep(5);
        continue;
      }
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        *sawEof = true;
        return;
      }
      Time at = Clock::now();
      partial.append(buf, static_cast<size_t>(n));
      size_t from = 0;
      for (size_t nl = partial.find('\n'); nl != std::string::npos; nl = partial.find('\n', from)) {
        rec->replies.push_back({partial.substr(from, nl - from), at});
        from = nl + 1;
      }
      partial.erase(0, from);
    }
  }

  void Hold(bool hold) {
    for (auto& s : senders_) s->Allow(!hold);
  }

  void RunEvents() {
    for (const chaos::Event& e : script_.events) {
      auto due = start_ + std::chrono::milliseconds(e.atMs);
      if (Clock::now() < due) std::this_thread::sleep_until(due);
      lab::SimController& sim = rig_.Sim(e.ctl);
      switch (e.kind) {
        case chaos::EventKind::kStopReading:
          sim.StopReading();
          Sleep(e.lengthMs);
          sim.ResumeReading();
          break;
        case chaos::EventKind::kSlowReading:
          sim.SetReadRate(static_cast<size_t>(e.arg));
          Sleep(e.lengthMs);
          sim.SetReadRate(0);
          break;
        case chaos::EventKind::kReplug: {
          senders_[e.ctl]->Allow(false);
          if (e.lengthMs == 0) {
            // Out and in again at once, as the rig's replug does; the loss
            // is where the lines stood when the old pty went.
            sim.Unplug();
            obs_.ctls[e.ctl].lossAt.push_back(sim.Lines().size());
            obs_.ctls[e.ctl].lossTime.push_back(Clock::now());
            sim.Plug(e.arg);
          } else {
            sim.Unplug();
            obs_.ctls[e.ctl].lossAt.push_back(sim.Lines().size());
            obs_.ctls[e.ctl].lossTime.push_back(Clock::now());
            Sleep(e.lengthMs);
            sim.Plug(e.arg);
          }
          pid_t pid = rig_.Daemon().Pid();
          std::string slave = sim.SlavePath();
          if (!lab::WaitUntil([&] { return Holds(pid, slave); }, Ms(5000))) {
            AddClientFinding("controller " + std::to_string(e.ctl) + " not reopened as ttyACM" +
                             std::to_string(e.arg) + " within 5 s");
          }
          Sleep(20);  // past the flush of the fresh line's input
          senders_[e.ctl]->Allow(true);
          break;
        }
        case chaos::EventKind::kSigStop:
          Hold(true);
          rig_.Daemon().Signal(SIGSTOP);
          Sleep(e.lengthMs);
          rig_.Daemon().Signal(SIGCONT);
          Hold(false);
          break;
        case chaos::EventKind::kRename: {
          const char* want = kPairNames[e.ctl][e.arg];
          const char* alias = kAliases[e.ctl][e.arg];
          if (!lab::InterfaceExists(want) || lab::InterfaceExists(alias)) break;
          // With the daemon held still, so no pass sees it half-way.
          Hold(true);
          rig_.Daemon().Signal(SIGSTOP);
          lab::RenameInterface(want, alias);
          rig_.Net().SyncNow();
          rig_.Daemon().Signal(SIGCONT);
          Hold(false);
          break;
        }
      }
    }
  }

  // Open while the run exists; the reply rule holds it while it runs.
  struct RuleGate {
    std::mutex mu;
    bool open = true;
  };
  std::shared_ptr<RuleGate> gate_ = std::make_shared<RuleGate>();
  lab::Rig& rig_;
  chaos::Script script_;
  chaos::Observations obs_;
  std::vector<std::unique_ptr<chaos::ReplySender>> senders_;
  std::atomic<uint64_t> replyCounter_{0};
  std::atomic<size_t> atFinal_{0};
  std::atomic<bool> quiesced_{false};
  std::atomic<bool> stopWatch_{false};
  std::mutex findingsMu_;
  std::vector<std::string> clientFindings_;
  Time start_;
};

int CaseMs() {
  const char* env = getenv("E1_CHAOS_CASE_SECONDS");
  return (env != nullptr ? atoi(env) : 13) * 1000;
}

class Chaos : public lab::RigTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(Chaos, SeededRunKeepsEveryCommandAndReplyWhole) {
  BuildRig(rig);
  ChaosRun(rig, GetParam(), CaseMs()).Go();
}

INSTANTIATE_TEST_SUITE_P(FixedSeeds, Chaos, ::testing::Values(1u, 2u, 3u, 4u));

// The long form: E1_CHAOS_SEED=<n> runs one seed again, E1_CHAOS_SECONDS=<s>
// runs fresh seeds one after another for that long. Skipped without either.
class ChaosSoak : public lab::RigTest {};

TEST_F(ChaosSoak, FreshSeedsUntilTimeIsUp) {
  const char* one = getenv("E1_CHAOS_SEED");
  const char* total = getenv("E1_CHAOS_SECONDS");
  if (one != nullptr && *one != '\0') {
    BuildRig(rig);
    ChaosRun(rig, strtoull(one, nullptr, 10), CaseMs()).Go();
    return;
  }
  if (total == nullptr || *total == '\0') GTEST_SKIP() << "set E1_CHAOS_SECONDS or E1_CHAOS_SEED";
  auto until = Clock::now() + std::chrono::seconds(atoi(total));
  std::random_device entropy;
  int runs = 0;
  while (Clock::now() < until && !HasFailure()) {
    uint64_t seed = (static_cast<uint64_t>(entropy()) << 32 | entropy()) % 1000000000u;
    // Each seed on a fresh rig; the fixture's own stays empty.
    lab::Rig fresh;
    BuildRig(fresh);
    ChaosRun(fresh, seed, CaseMs()).Go();
    ++runs;
  }
  printf("chaos: %d seeds run\n", runs);
}

}  // namespace
