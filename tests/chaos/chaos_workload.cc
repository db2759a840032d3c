#include "tests/chaos/chaos_workload.h"

#include <algorithm>
#include <random>

namespace chaos {
namespace {

// The characters of commands: printable, no space (a command is what lies
// between separators, blanks included, and blanks at its ends would be easy
// to confuse), no ';'.
std::string Alphabet() {
  std::string a;
  for (char ch = '!'; ch <= '~'; ++ch) {
    if (ch != ';') a += ch;
  }
  return a;
}

class Gen {
 public:
  explicit Gen(uint64_t seed) : rng_(seed), alphabet_(Alphabet()) {}

  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(int percent) { return Int(1, 100) <= percent; }

  // A command of about `len` characters that no other command of the run
  // has: a counter per length in base 93 at its start, random characters
  // after it. A length whose counter has run out takes the next one.
  std::string Command(size_t len) {
    for (;; ++len) {
      uint64_t k = used_.size() > len ? used_[len] : 0;
      std::string digits;
      for (uint64_t v = k;; v /= alphabet_.size()) {
        digits += alphabet_[v % alphabet_.size()];
        if (v < alphabet_.size()) break;
      }
      if (digits.size() > len) continue;
      if (used_.size() <= len) used_.resize(len + 1, 0);
      ++used_[len];
      while (digits.size() < len) digits += alphabet_[static_cast<size_t>(Int(0, 92))];
      return digits;
    }
  }

  size_t CommandLength() {
    int roll = Int(1, 100);
    if (roll <= 5) return static_cast<size_t>(Int(1, 3));
    if (roll <= 13) return static_cast<size_t>(Int(116, 120));
    return static_cast<size_t>(Int(4, 115));
  }

  std::string Separator() {
    static const char* const kRuns[] = {";", "\r", "\n", "\r\n", ";;", "\n\n", ";\r\n", "\r\r"};
    if (Chance(85)) return kRuns[Int(0, 7)];
    std::string run;
    for (int i = Int(1, 5); i > 0; --i) run += ";\r\n"[Int(0, 2)];
    return run;
  }

  size_t PieceSize() {
    int roll = Int(1, 100);
    if (roll <= 40) return static_cast<size_t>(Int(1, 16));
    if (roll <= 70) return static_cast<size_t>(Int(17, 256));
    if (roll <= 90) return static_cast<size_t>(Int(257, 2048));
    return static_cast<size_t>(Int(2049, 8192));
  }

 private:
  std::mt19937_64 rng_;
  std::string alphabet_;
  std::vector<uint64_t> used_;
};

bool IsSeparator(char ch) {
  return ch == ';' || ch == '\r' || ch == '\n';
}

// The session's text cut into writes. A pause long enough for the daemon to
// take the client as quiet (and send an unterminated tail) comes only after
// a separator; inside a command the client pauses a few milliseconds at most.
std::vector<Write> CutIntoWrites(Gen* g, const std::string& text) {
  std::vector<Write> writes;
  size_t at = 0;
  while (at < text.size()) {
    size_t n = std::min(g->PieceSize(), text.size() - at);
    Write w;
    w.bytes = text.substr(at, n);
    at += n;
    int roll = g->Int(1, 100);
    if (roll <= 25) {
      w.pauseAfterMs = g->Int(1, 10);
    } else if (roll <= 30) {
      w.pauseAfterMs = IsSeparator(w.bytes.back()) ? g->Int(120, 300) : g->Int(1, 20);
    }
    writes.push_back(std::move(w));
  }
  return writes;
}

Session MakeSession(Gen* g) {
  Session s;
  s.delayBeforeMs = g->Int(0, 200);
  int count = g->Chance(20) ? g->Int(150, 600) : g->Int(1, 80);
  std::string text;
  if (g->Chance(20)) text += g->Separator();
  for (int i = 0; i < count; ++i) {
    s.cmds.push_back(g->Command(g->CommandLength()));
    text += s.cmds.back();
    // The last command is left unterminated now and then: the daemon sends
    // it once the client has been quiet, or at its end.
    if (i + 1 < count || g->Chance(70)) text += g->Separator();
  }
  s.writes = CutIntoWrites(g, text);
  if (g->Chance(25)) {
    s.readPauseAtWrite = g->Int(0, static_cast<int>(s.writes.size()) - 1);
    s.readPauseMs = g->Int(300, 1500);
    s.floodBytes = static_cast<size_t>(g->Int(64, 400)) * 1024;
  } else if (g->Chance(25)) {
    s.floodBytes = static_cast<size_t>(g->Int(16, 128)) * 1024;
  }
  s.endByEof = g->Chance(15);
  s.lingerMs = g->Int(0, 300);
  return s;
}

// A rough length of a session, to fill the run's time.
int EstimateMs(const Session& s) {
  int ms = s.delayBeforeMs + s.lingerMs + s.readPauseMs + (s.endByEof ? 200 : 0);
  size_t bytes = 0;
  for (const Write& w : s.writes) {
    ms += w.pauseAfterMs;
    bytes += w.bytes.size();
  }
  return ms + static_cast<int>(bytes / 100);  // about 100 KB/s through a busy line
}

}  // namespace

const char* EventName(EventKind k) {
  switch (k) {
    case EventKind::kStopReading:
      return "stall";
    case EventKind::kSlowReading:
      return "slow";
    case EventKind::kReplug:
      return "replug";
    case EventKind::kSigStop:
      return "sigstop";
    case EventKind::kRename:
      return "rename";
  }
  return "?";
}

Script MakeScript(uint64_t seed, int durationMs, const std::vector<int>& ctlPorts) {
  Gen g(seed);
  Script s;
  s.seed = seed;
  s.durationMs = durationMs;
  for (size_t c = 0; c < ctlPorts.size(); ++c) {
    for (int p = 0; p < ctlPorts[c]; ++p) s.ports.push_back({c, p});
  }
  s.sessions.resize(s.ports.size());
  for (auto& list : s.sessions) {
    for (int planned = 0; planned < durationMs;) {
      list.push_back(MakeSession(&g));
      planned += EstimateMs(list.back());
    }
    // The last client stays until the end and reads what is left.
    list.back().endByEof = false;
  }
  // ttyACM numbers as the script leaves them: controller c starts as
  // ttyACM<c>, and no two controllers ever share a number.
  std::vector<int> acm;
  for (size_t c = 0; c < ctlPorts.size(); ++c) acm.push_back(static_cast<int>(c));
  for (int t = 300 + g.Int(0, 400); t < durationMs - 500; t += g.Int(200, 900)) {
    Event e;
    e.atMs = t;
    e.ctl = static_cast<size_t>(g.Int(0, static_cast<int>(ctlPorts.size()) - 1));
    int roll = g.Int(1, 100);
    if (roll <= 30) {
      e.kind = EventKind::kStopReading;
      e.lengthMs = g.Int(100, 1500);
    } else if (roll <= 55) {
      e.kind = EventKind::kSlowReading;
      e.lengthMs = g.Int(300, 2000);
      e.arg = g.Int(2000, 40000);
    } else if (roll <= 75) {
      e.kind = EventKind::kReplug;
      e.lengthMs = g.Chance(30) ? 0 : g.Int(10, 400);
      int next = acm[e.ctl];
      if (g.Chance(60)) {
        do {
          next = g.Int(0, 7);
        } while (std::find(acm.begin(), acm.end(), next) != acm.end());
      }
      acm[e.ctl] = next;
      e.arg = next;
    } else if (roll <= 90) {
      e.kind = EventKind::kSigStop;
      e.lengthMs = g.Int(50, 400);
    } else {
      e.kind = EventKind::kRename;
      e.arg = g.Int(0, ctlPorts[e.ctl] - 1);
    }
    s.events.push_back(e);
  }
  return s;
}

}  // namespace chaos
