// The daemon's answer to the control socket's "status" request, one JSON
// document per controller, read into plain fields. Members the reader does
// not know are ignored (a newer daemon may add some); a missing member or
// one of the wrong type makes the document unreadable.
#ifndef E1CTLD_TOOLS_E1CTL_STATUS_DOCUMENT_H_
#define E1CTLD_TOOLS_E1CTL_STATUS_DOCUMENT_H_

#include <optional>
#include <string>
#include <vector>

namespace e1ctl {

struct DaemonOptions {
  bool keepEthNames = false;
  bool searchMore = false;
  bool inNamespace = false;
  bool daemonize = false;
  long long logLevel = 0;
  long long startLogLevel = 0;
};

// Times are milliseconds since the Unix epoch; absent: never.
struct UartStatus {
  std::string state;  // "open", "lost", "waiting", "never-opened" (or a newer word)
  std::string tty;
  std::optional<long long> sinceMs;
  long long losses = 0;
  long long reopens = 0;
  std::optional<long long> lastLossMs;
  std::optional<long long> lastReopenMs;
  long long lineWaitMs = 0;
};

struct PortStatus {
  long long port = 0;
  bool client = false;
  std::optional<long long> clientSinceMs;
  long long clientsAccepted = 0;
  long long commandsSent = 0;
  long long blocksSent = 0;
  long long bytesToLine = 0;
  long long repliesDelivered = 0;
  long long repliesDroppedNoClient = 0;
  long long repliesDroppedQueueFull = 0;
  long long repliesDroppedAfterEof = 0;
  long long replaysSent = 0;
  long long commandsTooLong = 0;
};

struct PairStatus {
  long long pair = 0;
  std::optional<std::string> wanted;
  std::optional<std::string> current;
  bool up = false;
  long long renames = 0;
  long long renamesFailed = 0;
  std::string lastOutcome;  // "same", "renamed", "failed", "missing", "no-name", "none"
};

struct ControllerStatus {
  std::string version;
  long long pid = 0;
  std::optional<long long> startedMs;
  DaemonOptions options;
  std::string controller;
  std::string vid;
  std::string pid16;
  UartStatus uart;
  std::vector<PortStatus> ports;
  std::vector<PairStatus> pairs;
};

// Reads one status document (a trailing line feed allowed). Counters must
// be integers >= 0, port and pair numbers too, each number once. On an
// error returns false with what is wrong, naming the member ("uart.losses:
// not an integer") or the JSON error's offset.
bool ReadStatusDocument(const std::string& text, ControllerStatus* out, std::string* error);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_STATUS_DOCUMENT_H_
