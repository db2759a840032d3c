#include "tools/e1ctl/status_table.h"

#include <stdio.h>

#include "tools/e1ctl/exit_status.h"

namespace e1ctl {

std::string StatusTable(const JsonValue& doc) {
  const JsonValue* uart = doc.Get("uart");
  std::string state = uart != nullptr ? uart->Str("state") : "?";
  std::string tty = uart != nullptr ? uart->Str("tty") : "";
  // Not lost, and not healthy either: its tty was not there at start-up.
  if (state == "waiting") {
    state = "waiting for its tty";
    if (!tty.empty()) tty = "(" + tty + ")";
  }
  char line[256];
  snprintf(line, sizeof line, "%s\n  daemon: pid %lld, e1ctld %s\n  uart:   %s%s%s\n",
           doc.Str("controller").c_str(), doc.Int("pid"), doc.Str("version").c_str(), state.c_str(),
           tty.empty() ? "" : " ", tty.c_str());
  std::string out = line;
  out += "  port  client  commands  replies  dropped\n";
  const JsonValue* ports = doc.Get("ports");
  if (ports == nullptr) return out;
  for (const JsonValue& p : ports->items) {
    long long dropped = p.Int("repliesDroppedNoClient") + p.Int("repliesDroppedQueueFull") +
                        p.Int("repliesDroppedAfterEof");
    snprintf(line, sizeof line, "  %-4lld  %-6s  %8lld  %7lld  %7lld\n", p.Int("port"),
             p.Bool("client") ? "yes" : "no", p.Int("commandsSent"), p.Int("repliesDelivered"),
             dropped);
    out += line;
  }
  return out;
}

Health DocumentHealth(const JsonValue& doc) {
  const JsonValue* uart = doc.Get("uart");
  return uart != nullptr && uart->Str("state") == "open" ? Health::kServed : Health::kUartDown;
}

int HealthExitStatus(Health h) {
  switch (h) {
    case Health::kServed:
      return kOk;
    case Health::kUartDown:
      return kUartDown;
    case Health::kNoDaemon:
      return kNoDaemon;
    case Health::kUnknown:
      break;
  }
  return kUnknownController;
}

}  // namespace e1ctl
