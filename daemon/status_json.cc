#include "daemon/status_json.h"

#include <stdio.h>
#include <unistd.h>

#include "core/counters.h"
#include "core/run_options.h"
#include "core/run_paths.h"

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    auto u = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (u < 0x20 || u > 0x7e) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", u);
      out += esc;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

namespace {

// Appends `"key":` (after a comma unless it opens an object).
class Json {
 public:
  void Open(const char* key, char bracket) {
    if (key != nullptr) Key(key);
    s_ += bracket;
    first_ = true;
  }
  void Close(char bracket) {
    s_ += bracket;
    first_ = false;
  }
  void Item() {
    if (!first_) s_ += ',';
    first_ = false;
  }
  void Key(const char* key) {
    Item();
    s_ += '"';
    s_ += key;
    s_ += "\":";
  }
  void Int(const char* key, long long v) {
    Key(key);
    s_ += std::to_string(v);
  }
  void Count(const char* key, const Counter& v) {
    Key(key);
    s_ += std::to_string(Read(v));
  }
  void Bool(const char* key, bool v) {
    Key(key);
    s_ += v ? "true" : "false";
  }
  void Str(const char* key, std::string_view v) {
    Key(key);
    s_ += JsonString(v);
  }
  // A string, or null when it is empty.
  void StrOrNull(const char* key, std::string_view v) {
    Key(key);
    s_ += v.empty() ? "null" : JsonString(v);
  }
  // A time, or null when it is 0 (never).
  void TimeOrNull(const char* key, int64_t ms) {
    Key(key);
    s_ += ms == 0 ? "null" : std::to_string(ms);
  }
  const std::string& Text() const { return s_; }

 private:
  std::string s_;
  bool first_ = true;
};

std::string Hex4(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof buf, "%4.4X", v);
  return buf;
}

void Options(Json* j) {
  j->Open("options", '{');
  j->Bool("keepEthNames", g_options.keepEthNames != 0);
  j->Bool("searchMore", g_options.searchMore != 0);
  j->Bool("inNamespace", g_options.inNamespace != 0);
  j->Bool("daemonize", g_options.daemonize != 0);
  j->Int("logLevel", g_options.logLevel.Get());
  j->Int("startLogLevel", g_daemonFacts.startLogLevel);
  j->Close('}');
}

void Uart(Json* j, E1Controller* c) {
  char tty[sizeof c->statusTty];
  UartAccount line = UartAccount::kOpen;
  uint32_t seq = ReadUARTState(c, tty, sizeof tty, &line);
  const char* state = "never-opened";
  if (c->ttyRunning.load() != 0) {
    // Before the first account the line is open: it was opened at start-up
    // (a line that was not is accounted as waiting before its serial thread
    // starts).
    state = line == UartAccount::kOpen ? "open" : line == UartAccount::kLost ? "lost" : "waiting";
  }
  // Without an account the name is the one found at start-up; with a serial
  // thread it may be replacing it, so it is read under the controller lock.
  if (seq == 0) CopyTTYName(c, tty, sizeof tty);
  const UartCounters& u = c->counters.uart;
  int64_t since = u.sinceMs.load(std::memory_order_relaxed);
  j->Open("uart", '{');
  j->Str("state", state);
  j->Str("tty", tty);
  j->Int("sinceMs", since != 0 ? since : g_daemonFacts.startedMs);
  j->Count("losses", u.losses);
  j->Count("reopens", u.reopens);
  j->TimeOrNull("lastLossMs", u.lastLossMs.load(std::memory_order_relaxed));
  j->TimeOrNull("lastReopenMs", u.lastReopenMs.load(std::memory_order_relaxed));
  j->Int("lineWaitMs", static_cast<long long>(Read(u.lineWaitUs) / 1000));
  j->Close('}');
}

void Ports(Json* j, E1Controller* c) {
  j->Open("ports", '[');
  int ports = c->e1Ports < kMaxE1Ports ? c->e1Ports : kMaxE1Ports;
  for (int p = 0; p < ports; ++p) {
    E1PortSlot& s = c->ports[p];
    const PortCounters& k = s.counters;
    j->Item();
    j->Open(nullptr, '{');
    j->Int("port", p);
    // Set before the port thread starts; a port without thread has none.
    j->StrOrNull("socket", s.running ? s.socketPath : "");
    j->Bool("client", s.clientFd.load() >= 0);
    j->TimeOrNull("clientSinceMs", k.clientSinceMs.load(std::memory_order_relaxed));
    j->Count("clientsAccepted", k.clientsAccepted);
    j->Count("commandsSent", k.commandsSent);
    j->Count("blocksSent", k.blocksSent);
    j->Count("bytesToLine", k.bytesToLine);
    j->Count("repliesDelivered", k.repliesDelivered);
    j->Count("repliesDroppedNoClient", k.repliesDroppedNoClient);
    j->Count("repliesDroppedQueueFull", k.repliesDroppedQueueFull);
    j->Count("repliesDroppedAfterEof", k.repliesDroppedAfterEof);
    j->Count("replaysSent", k.replaysSent);
    j->Count("commandsTooLong", k.commandsTooLong);
    j->Close('}');
  }
  j->Close(']');
}

void Pairs(Json* j, E1Controller* c) {
  j->Open("pairs", '[');
  int pairs = c->ethPairs < kMaxEthPairs ? c->ethPairs : kMaxEthPairs;
  for (int i = 0; i < pairs; ++i) {
    PairCounters& k = c->counters.pairs[i];
    char current[IFNAMSIZ];
    ReadPairName(&k, current, sizeof current);
    j->Item();
    j->Open(nullptr, '{');
    j->Int("pair", i);
    // Set by discovery and then only read.
    j->StrOrNull("wanted", c->ethName[i] != nullptr ? c->ethName[i] : "");
    j->StrOrNull("current", current);
    j->Bool("up", k.up.load(std::memory_order_relaxed) != 0);
    j->Count("renames", k.renames);
    j->Count("renamesFailed", k.renamesFailed);
    j->Str("lastOutcome", PairOutcomeName(k.lastOutcome.load(std::memory_order_relaxed)));
    j->Close('}');
  }
  j->Close(']');
}

}  // namespace

std::string StatusJson(E1Controller* c) {
  Json j;
  j.Open(nullptr, '{');
  j.Str("version", kVersion);
  j.Int("pid", getpid());
  j.Int("startedMs", g_daemonFacts.startedMs);
  Options(&j);
  j.Str("controller", c->usbIfName != nullptr ? c->usbIfName : "");
  j.Str("vid", Hex4(c->vid));
  j.Str("pid16", Hex4(c->pid));
  Uart(&j, c);
  Ports(&j, c);
  Pairs(&j, c);
  j.Close('}');
  return j.Text();
}
