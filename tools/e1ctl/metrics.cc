#include "tools/e1ctl/metrics.h"

#include <optional>
#include <set>

#include "tools/e1ctl/exposition.h"
#include "tools/e1ctl/status_document.h"

namespace e1ctl {

namespace {

// The counters of each port and each pair, one family each.
struct PortCounter {
  const char* name;
  const char* help;
  long long PortStatus::*field;
};
const PortCounter kPortCounters[] = {
    {"e1ctld_port_clients_accepted_total", "Clients the port socket accepted.",
     &PortStatus::clientsAccepted},
    {"e1ctld_port_commands_sent_total", "Commands written to the controller for the port.",
     &PortStatus::commandsSent},
    {"e1ctld_port_blocks_sent_total", "Command blocks written to the controller for the port.",
     &PortStatus::blocksSent},
    {"e1ctld_port_bytes_to_line_total", "Command bytes written to the controller's line.",
     &PortStatus::bytesToLine},
    {"e1ctld_port_replies_delivered_total", "Reply lines passed on to the port's client.",
     &PortStatus::repliesDelivered},
    {"e1ctld_port_replies_dropped_no_client_total",
     "Reply lines dropped because no client was connected.", &PortStatus::repliesDroppedNoClient},
    {"e1ctld_port_replies_dropped_queue_full_total",
     "Reply lines dropped because the client's reply queue was full.",
     &PortStatus::repliesDroppedQueueFull},
    {"e1ctld_port_replies_dropped_after_eof_total",
     "Reply lines dropped after the port's end-of-file reply.",
     &PortStatus::repliesDroppedAfterEof},
    {"e1ctld_port_replays_sent_total", "Last commands sent again after the controller came back.",
     &PortStatus::replaysSent},
    {"e1ctld_port_commands_too_long_total", "Commands refused as too long.",
     &PortStatus::commandsTooLong},
};

const char* const kUartStates[] = {"open", "lost", "waiting", "never-opened"};
const char* const kOutcomes[] = {"same", "renamed", "failed", "missing", "no-name", "none"};

void DeclareFamilies(Exposition* x) {
  x->Declare("e1ctld_build_info", "gauge", "The daemon serving the controller, by version (1).");
  x->Declare("e1ctld_controller_info", "gauge", "The controller's USB vendor and product ids (1).");
  x->Declare("e1ctld_start_time_seconds", "gauge", "When the daemon started, in Unix time.");
  x->Declare("e1ctld_log_level", "gauge", "The daemon's log level now.");
  x->Declare("e1ctld_start_log_level", "gauge", "The daemon's log level at start.");
  x->Declare("e1ctld_option", "gauge", "The daemon's start options, 1 when set.");
  x->Declare("e1ctld_uart_state", "gauge", "The control UART's state: 1 for the current one.");
  x->Declare("e1ctld_uart_info", "gauge", "The control UART's tty (1).");
  x->Declare("e1ctld_uart_state_since_seconds", "gauge",
             "When the control UART entered its current state, in Unix time.");
  x->Declare("e1ctld_uart_losses_total", "counter", "Times the control UART was lost.");
  x->Declare("e1ctld_uart_reopens_total", "counter", "Times the control UART was opened again.");
  x->Declare("e1ctld_uart_last_loss_seconds", "gauge",
             "When the control UART was last lost, in Unix time.");
  x->Declare("e1ctld_uart_last_reopen_seconds", "gauge",
             "When the control UART was last opened again, in Unix time.");
  x->Declare("e1ctld_uart_line_wait_seconds_total", "counter",
             "Time port threads waited for the line to take command bytes.");
  x->Declare("e1ctld_port_client", "gauge", "1 while a client is connected to the port.");
  x->Declare("e1ctld_port_client_since_seconds", "gauge",
             "When the port's current client connected, in Unix time.");
  for (const PortCounter& c : kPortCounters) x->Declare(c.name, "counter", c.help);
  x->Declare("e1ctld_pair_up", "gauge", "1 while the Ethernet pair's interface is up.");
  x->Declare("e1ctld_pair_info", "gauge",
             "The Ethernet pair's wanted and current interface names (1; empty: none).");
  x->Declare("e1ctld_pair_renames_total", "counter", "Renames of the pair's interface done.");
  x->Declare("e1ctld_pair_renames_failed_total", "counter",
             "Renames of the pair's interface that failed.");
  x->Declare("e1ctld_pair_last_outcome", "gauge",
             "The outcome of the pair's last naming pass: 1 for the current one.");
}

std::string Flag(bool b) {
  return b ? "1" : "0";
}

void AddTime(Exposition* x, const char* name, const Labels& labels,
             const std::optional<long long>& ms) {
  if (ms) x->Add(name, labels, MillisecondsAsSeconds(*ms));
}

// One 0/1 sample per known word, the current one 1; a word not known (a
// newer daemon's) gets a sample of its own.
void AddState(Exposition* x, const char* name, Labels labels, const char* key,
              const char* const* words, size_t count, const std::string& current) {
  bool known = false;
  labels.emplace_back(key, "");
  for (size_t i = 0; i < count; ++i) {
    labels.back().second = words[i];
    x->Add(name, labels, Flag(current == words[i]));
    known = known || current == words[i];
  }
  if (!known) {
    labels.back().second = current;
    x->Add(name, labels, "1");
  }
}

void AddController(Exposition* x, const ControllerStatus& s) {
  const Labels c = {{"controller", s.controller}};
  x->Add("e1ctld_build_info", {{"controller", s.controller}, {"version", s.version}}, "1");
  x->Add("e1ctld_controller_info",
         {{"controller", s.controller}, {"usb_vendor", s.vid}, {"usb_product", s.pid16}}, "1");
  AddTime(x, "e1ctld_start_time_seconds", c, s.startedMs);
  x->Add("e1ctld_log_level", c, std::to_string(s.options.logLevel));
  x->Add("e1ctld_start_log_level", c, std::to_string(s.options.startLogLevel));
  const std::pair<const char*, bool> options[] = {{"keepEthNames", s.options.keepEthNames},
                                                  {"searchMore", s.options.searchMore},
                                                  {"inNamespace", s.options.inNamespace},
                                                  {"daemonize", s.options.daemonize}};
  for (const auto& o : options) {
    x->Add("e1ctld_option", {{"controller", s.controller}, {"option", o.first}}, Flag(o.second));
  }

  const UartStatus& u = s.uart;
  AddState(x, "e1ctld_uart_state", c, "state", kUartStates, std::size(kUartStates), u.state);
  x->Add("e1ctld_uart_info", {{"controller", s.controller}, {"tty", u.tty}}, "1");
  AddTime(x, "e1ctld_uart_state_since_seconds", c, u.sinceMs);
  x->Add("e1ctld_uart_losses_total", c, std::to_string(u.losses));
  x->Add("e1ctld_uart_reopens_total", c, std::to_string(u.reopens));
  AddTime(x, "e1ctld_uart_last_loss_seconds", c, u.lastLossMs);
  AddTime(x, "e1ctld_uart_last_reopen_seconds", c, u.lastReopenMs);
  x->Add("e1ctld_uart_line_wait_seconds_total", c, MillisecondsAsSeconds(u.lineWaitMs));

  for (const PortStatus& p : s.ports) {
    const Labels l = {{"controller", s.controller}, {"port", std::to_string(p.port)}};
    x->Add("e1ctld_port_client", l, Flag(p.client));
    AddTime(x, "e1ctld_port_client_since_seconds", l, p.clientSinceMs);
    for (const PortCounter& pc : kPortCounters) x->Add(pc.name, l, std::to_string(p.*pc.field));
  }
  for (const PairStatus& p : s.pairs) {
    const Labels l = {{"controller", s.controller}, {"pair", std::to_string(p.pair)}};
    x->Add("e1ctld_pair_up", l, Flag(p.up));
    Labels names = l;
    names.emplace_back("wanted", p.wanted.value_or(""));
    names.emplace_back("current", p.current.value_or(""));
    x->Add("e1ctld_pair_info", names, "1");
    x->Add("e1ctld_pair_renames_total", l, std::to_string(p.renames));
    x->Add("e1ctld_pair_renames_failed_total", l, std::to_string(p.renamesFailed));
    AddState(x, "e1ctld_pair_last_outcome", l, "outcome", kOutcomes, std::size(kOutcomes),
             p.lastOutcome);
  }
}

// An error line as printable text: a document's member names may hold any
// character, and the line may become a comment of the exposition.
std::string Printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}

}  // namespace

std::string FormatMetrics(const std::vector<std::string>& statusDocuments, std::string* error) {
  error->clear();
  Exposition x;
  DeclareFamilies(&x);
  std::set<std::string> controllers;
  for (size_t i = 0; i < statusDocuments.size(); ++i) {
    ControllerStatus s;
    std::string why;
    const std::string which = "document " + std::to_string(i + 1) + ": ";
    if (!ReadStatusDocument(statusDocuments[i], &s, &why)) {
      *error += which + Printable(why) + "\n";
    } else if (!controllers.insert(s.controller).second) {
      *error += which + "controller " + Printable(s.controller) + " already given, left out\n";
    } else {
      AddController(&x, s);
    }
  }
  return x.Text();
}

}  // namespace e1ctl
