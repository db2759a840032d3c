// The chaos suite's oracle: judges what a run recorded (what every client
// wrote and received, what the controllers received and sent, when the line
// was lost) against the daemon's rules, by what happened rather than by
// timing, and counts what it saw.
#ifndef E1CTLD_TESTS_CHAOS_CHAOS_ORACLE_H_
#define E1CTLD_TESTS_CHAOS_CHAOS_ORACLE_H_

#include <stddef.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "lab/sim_controller.h"
#include "tests/chaos/chaos_workload.h"

namespace chaos {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

struct WriteRecord {
  size_t end = 0;  // offset in the session's text after this write
  Time start;
  Time done;
};

struct ReplyRecord {
  std::string text;  // without the line feed
  Time at;
};

// One client connection as it went.
struct SessionRecord {
  std::string text;  // everything the script had it write
  std::vector<WriteRecord> writes;
  bool connected = false;
  bool writeFailed = false;    // a write failed: how much of it went is unknown
  bool drainTimedOut = false;  // the daemon had not read everything at the close
  bool readPaused = false;
  bool eofRequested = false;
  bool sawEof = false;  // the daemon ended the connection
  Time connectAt;
  Time closeAt;
  std::vector<ReplyRecord> replies;
};

// A reply line the controller sent (or tried to), in the order sent.
struct SentReply {
  std::string text;  // what follows "ACK:E1.<n>:"
  Time at;           // just before the write
  bool eof = false;
  bool failed = false;  // the write failed or timed out: maybe sent in part
};

struct PortRecord {
  std::vector<SessionRecord> sessions;
  std::vector<SentReply> sent;
};

struct ControllerRecord {
  std::vector<lab::ReceivedLine> lines;
  std::vector<size_t> lossAt;  // lines received before each unplug
  std::vector<Time> lossTime;
};

struct Observations {
  const Script* script = nullptr;
  std::vector<PortRecord> ports;  // as script->ports
  std::vector<ControllerRecord> ctls;
  std::vector<Time> stallLogs;  // when each "errno=11" log line was first seen
  Time end;
};

struct Verdict {
  std::vector<std::string> findings;
  std::map<std::string, size_t> counts;
};

Verdict Judge(const Observations& obs);

}  // namespace chaos

#endif  // E1CTLD_TESTS_CHAOS_CHAOS_ORACLE_H_
