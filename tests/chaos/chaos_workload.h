// The chaos suite's workload: everything the clients write and everything
// done to the controllers and the daemon, drawn from one seed before the
// run starts, so that a seed names the same script every time.
#ifndef E1CTLD_TESTS_CHAOS_CHAOS_WORKLOAD_H_
#define E1CTLD_TESTS_CHAOS_CHAOS_WORKLOAD_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace chaos {

// Commands longer than this are dropped whole by the daemon.
inline constexpr size_t kMaxCommand = 115;
// Commands of one client read go out in blocks of at most this many.
inline constexpr size_t kMaxBlock = 32;

// One write of a client: its bytes, then a pause.
struct Write {
  std::string bytes;
  int pauseAfterMs = 0;
};

// One client connection on a port, from connect to close.
struct Session {
  int delayBeforeMs = 0;          // pause before connecting
  std::vector<Write> writes;      // the command text, cut into writes
  std::vector<std::string> cmds;  // the commands in it, in order
  int readPauseAtWrite = -1;      // stop reading before this write (-1: never)
  int readPauseMs = 0;
  size_t floodBytes = 0;  // replies asked for at the read pause (or the first write)
  bool endByEof = false;  // asks the controller for its end-of-file reply
  int lingerMs = 0;       // reads this long before closing
};

enum class EventKind { kStopReading, kSlowReading, kReplug, kSigStop, kRename };

// Something done to a controller or the daemon, `atMs` after the start.
struct Event {
  int atMs = 0;
  EventKind kind = EventKind::kStopReading;
  size_t ctl = 0;
  int lengthMs = 0;  // how long the stall, slow pace, loss or stop lasts
  int arg = 0;       // read rate (bytes/s), ttyACM number, or pair index
};

struct PortRef {
  size_t ctl;
  int port;
};

struct Script {
  uint64_t seed = 0;
  int durationMs = 0;
  std::vector<PortRef> ports;
  std::vector<std::vector<Session>> sessions;  // per port
  std::vector<Event> events;                   // by time
};

// The script for `seed`: sessions on every port filling about `durationMs`,
// and the events. `ctlPorts[c]` is the number of E1 ports of controller c.
Script MakeScript(uint64_t seed, int durationMs, const std::vector<int>& ctlPorts);

const char* EventName(EventKind k);

}  // namespace chaos

#endif  // E1CTLD_TESTS_CHAOS_CHAOS_WORKLOAD_H_
