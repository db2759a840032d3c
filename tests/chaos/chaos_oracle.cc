#include "tests/chaos/chaos_oracle.h"

#include <stdint.h>

#include <algorithm>
#include <unordered_map>

namespace chaos {
namespace {

// A client pause from which the daemon may take the client as quiet and
// send an unterminated tail as a command of its own: it waits 20 ms after a
// short read, 100 ms after a full one, counted in whole milliseconds.
constexpr auto kQuietSplit = std::chrono::milliseconds(18);

bool IsSeparator(char ch) {
  return ch == ';' || ch == '\r' || ch == '\n';
}

// One command the wire should carry (or may carry) for a port.
struct Token {
  std::string text;
  size_t session = 0;
  bool optional = false;  // may be missing: cut by a client pause, or its session ended early
  // When the client began the write that ended it: the daemon cannot have
  // sent it before.
  Time written = Time::max();
};

struct PortModel {
  std::vector<Token> tokens;
  // text -> token indices in order: short commands (1 to 3 characters)
  // cannot all be unique, so a text may stand for several tokens.
  std::unordered_map<std::string, std::vector<size_t>> at;
  std::vector<std::string> tooLong;  // written, must never arrive
};

std::string Show(const std::string& s) {
  std::string out = "len " + std::to_string(s.size()) + " '";
  out += s.size() <= 28 ? s : s.substr(0, 28) + "...";
  for (char& ch : out) {
    if (static_cast<unsigned char>(ch) < 0x20) ch = '?';
  }
  return out + "'";
}

bool Lenient(const SessionRecord& s) {
  return s.sawEof || s.writeFailed || s.drainTimedOut;
}

// The commands of one port as the client wrote them: its text cut at the
// separators; a command that a quiet client pause cut in two may come whole
// or as its pieces, so both are optional.
PortModel ModelPort(const PortRecord& pr) {
  PortModel m;
  for (size_t si = 0; si < pr.sessions.size(); ++si) {
    const SessionRecord& s = pr.sessions[si];
    if (!s.connected) continue;
    size_t written = s.writes.empty() ? 0 : s.writes.back().end;
    std::vector<size_t> quiet;  // offsets where the client paused long enough
    for (size_t w = 1; w < s.writes.size(); ++w) {
      // The bytes of a write reach the socket somewhere between the call
      // and its return (a thread may be held up on either side of it), so
      // the quiet the daemon could see between two writes is at most the
      // time from the first one's call to the second one's return.
      if (s.writes[w].done - s.writes[w - 1].start >= kQuietSplit)
        quiet.push_back(s.writes[w - 1].end);
    }
    size_t at = 0;
    while (at < written) {
      while (at < written && IsSeparator(s.text[at])) ++at;
      size_t end = at;
      while (end < s.text.size() && !IsSeparator(s.text[end])) ++end;
      if (end == at) break;
      // A command that the writes did not finish is not the client's whole
      // command: it ends the text the daemon got.
      bool whole = end <= written;
      if (!whole) end = written;
      std::string cmd = s.text.substr(at, end - at);
      std::vector<size_t> cuts;
      for (size_t q : quiet) {
        if (q > at && q < end) cuts.push_back(q);
      }
      bool lenient = Lenient(s) && (!whole || end + 1 >= written || s.sawEof);
      Time endWrite = Time::max();
      for (const WriteRecord& w : s.writes) {
        if (w.end >= end) {
          endWrite = w.start;
          break;
        }
      }
      auto add = [&](const std::string& t, bool optional) {
        if (t.size() > kMaxCommand) {
          m.tooLong.push_back(t);
          return;
        }
        m.at[t].push_back(m.tokens.size());
        m.tokens.push_back({t, si, optional, endWrite});
      };
      // The daemon may have cut the command at any of the client's quiet
      // pauses, or at none: every run of consecutive pieces is a command it
      // may have sent. In the order of their start, the longer first, so
      // that each way of cutting reads forward through the tokens.
      std::vector<size_t> points = {at};
      points.insert(points.end(), cuts.begin(), cuts.end());
      points.push_back(end);
      const size_t n = points.size() - 1;
      for (size_t i = 0; i < n; ++i) {
        for (size_t j = n; j > i; --j) {
          bool all = i == 0 && j == n;
          add(s.text.substr(points[i], points[j] - points[i]),
              all ? !cuts.empty() || lenient || Lenient(s) : true);
        }
      }
      at = end;
    }
  }
  return m;
}

struct WireItem {
  bool loss = false;  // the line was lost here
  std::string text;
  Time at;  // of a loss: just after the old pty was closed
};

class PortJudge {
 public:
  PortJudge(const std::string& name, const PortModel& m, const PortRecord& pr,
            std::vector<std::string>* findings)
      : name_(name), m_(m), findings_(findings) {
    for (const SessionRecord& s : pr.sessions) lenient_.push_back(Lenient(s));
  }

  void Run(const std::vector<WireItem>& wire, std::map<std::string, size_t>* counts) {
    wire_ = &wire;
    delivered_.assign(m_.tokens.size(), false);
    for (k_ = 0; k_ < wire.size(); ++k_) {
      const WireItem& item = wire[k_];
      if (item.loss) {
        inReplay_ = false;
        replayAllowed_ = frontier_ > 0;
        lossAt_ = item.at;
        afterLoss_ = true;
        continue;
      }
      ++(*counts)["commands received"];
      auto it = m_.at.find(item.text);
      if (it == m_.at.end()) {
        Unknown(item.text);
        continue;
      }
      size_t pos = Choose(it->second);
      if (inReplay_) {
        if (pos == cursor_) {
          cursor_ = NextDelivered(pos + 1);
          if (cursor_ >= frontier_) inReplay_ = false;
          continue;
        }
        Finding("replay not whole: the resent block stops before the last command sent", pos);
        inReplay_ = false;
      }
      if (pos < frontier_) {
        if (!replayAllowed_) {
          Finding("command repeated, not as the replay of a reopened line", pos);
        } else if (!delivered_[pos]) {
          Finding("replay of a command that was never sent", pos);
        } else if (DeliveredBetween(pos, frontier_) > kMaxBlock) {
          Finding("replay of more than " + std::to_string(kMaxBlock) + " commands", pos);
        } else {
          ++(*counts)["replays"];
          replayAllowed_ = false;
          cursor_ = NextDelivered(pos + 1);
          inReplay_ = cursor_ < frontier_;
        }
        continue;
      }
      size_t skipped = frontier_;
      // Commands the daemon may have written into the old line just before
      // it went are gone with the device's buffers (the pty's, here: what a
      // last read before the close could not see yet); the replay brings
      // back the last block only. Commands written after the loss must come.
      while (skipped < pos && (m_.tokens[skipped].optional ||
                               (afterLoss_ && m_.tokens[skipped].written < lossAt_))) {
        if (!m_.tokens[skipped].optional) ++(*counts)["commands lost with the line"];
        ++skipped;
      }
      if (skipped < pos && item.text.size() <= 3 && pos - frontier_ > kMaxBlock) {
        // A piece of a cut command that happens to equal a short command far
        // ahead: taken as the piece, the frontier stays.
        Finding("command cut (a piece that looks like a later command)", frontier_);
        continue;
      }
      if (skipped < pos) Finding("command missing (or out of order)", skipped);
      frontier_ = pos + 1;
      delivered_[pos] = true;
      replayAllowed_ = false;
      afterLoss_ = false;
    }
    if (inReplay_) Finding("replay cut short at the end", cursor_);
    for (size_t i = frontier_; i < m_.tokens.size(); ++i) {
      if (!m_.tokens[i].optional) {
        Finding("command never reached the controller", i);
        break;
      }
    }
  }

 private:
  void Unknown(const std::string& text) {
    for (const std::string& t : m_.tooLong) {
      if (t == text)
        return Finding("command over " + std::to_string(kMaxCommand) + " characters sent",
                       frontier_);
      if (t.compare(0, text.size(), text) == 0)
        return Finding("command over " + std::to_string(kMaxCommand) + " characters sent cut",
                       frontier_);
    }
    for (const Token& t : m_.tokens) {
      if (t.text.size() > text.size() && t.text.compare(0, text.size(), text) == 0) {
        // A session that ended early (the controller ended it, or a write
        // failed) may leave the start of its last command behind.
        if (t.optional && lenient_[t.session]) return;
        return Finding("command cut", m_.at.at(t.text).front());
      }
    }
    Finding("line that no client wrote on this port", frontier_);
  }

  void Finding(const std::string& what, size_t pos) {
    std::string f = name_ + ": " + what + " (line " + std::to_string(k_) + ")\n    expected:";
    size_t from = pos >= 3 ? pos - 3 : 0;
    for (size_t i = from; i < std::min(pos + 4, m_.tokens.size()); ++i) {
      f += "\n      " + std::string(i == pos ? "> " : "  ") + "#" + std::to_string(i) + " " +
           Show(m_.tokens[i].text) + (m_.tokens[i].optional ? " (optional)" : "");
    }
    f += "\n    seen:";
    size_t wfrom = k_ >= 4 ? k_ - 4 : 0;
    for (size_t i = wfrom; i < std::min(k_ + 3, wire_->size()); ++i) {
      const WireItem& w = (*wire_)[i];
      std::string where;
      auto it = m_.at.find(w.text);
      if (!w.loss) where = it != m_.at.end() ? " = #" + std::to_string(it->second.front()) : " = ?";
      f += "\n      " + std::string(i == k_ ? "> " : "  ") +
           (w.loss ? std::string("-- line lost, reopened --") : Show(w.text) + where);
    }
    findings_->push_back(f);
  }

  std::string name_;
  const PortModel& m_;
  std::vector<std::string>* findings_;
  std::vector<bool> lenient_;  // per session
  const std::vector<WireItem>* wire_ = nullptr;
  size_t k_ = 0;
  // Which of the tokens with this text a line stands for: the one a replay
  // under way expects, else the next one not yet arrived, else (a replay
  // starting) the last one that arrived; after a reopen the last one that
  // arrived first, since the replay comes before anything new.
  size_t Choose(const std::vector<size_t>& cands) const {
    if (inReplay_) {
      for (size_t c : cands) {
        if (c == cursor_) return c;
      }
    }
    if (replayAllowed_) {
      // Right after a reopen the stored block comes first.
      for (auto c = cands.rbegin(); c != cands.rend(); ++c) {
        if (*c < frontier_ && delivered_[*c]) return *c;
      }
    }
    for (size_t c : cands) {
      if (c >= frontier_) return c;
    }
    return cands.back();
  }

  // A replay resends what was sent: of a command that may come whole or as
  // its pieces, only the form that came the first time.
  size_t NextDelivered(size_t from) const {
    while (from < frontier_ && !delivered_[from]) ++from;
    return from;
  }
  size_t DeliveredBetween(size_t from, size_t to) const {
    size_t n = 0;
    for (size_t i = from; i < to; ++i) n += delivered_[i] ? 1 : 0;
    return n;
  }

  std::vector<bool> delivered_;  // per token: it arrived the first time
  size_t frontier_ = 0;          // tokens up to here have arrived (first delivery)
  size_t cursor_ = 0;            // next token of a replay under way
  bool inReplay_ = false;
  bool replayAllowed_ = false;
  bool afterLoss_ = false;  // no new command arrived since the last loss
  Time lossAt_;
};

bool InWindow(Time t, Time from, Time to) {
  return t >= from && t <= to;
}

// The replies of one port: whole, in order, never twice, to the client that
// held the port, or dropped for a reason the daemon can have had.
void JudgeReplies(const std::string& name, const PortRecord& pr, const ControllerRecord& cr,
                  const Observations& obs, std::vector<std::string>* findings,
                  std::map<std::string, size_t>* counts) {
  std::unordered_map<std::string, size_t> index;
  for (size_t i = 0; i < pr.sent.size(); ++i) {
    if (!pr.sent[i].eof) index.emplace(pr.sent[i].text, i);
  }
  std::vector<Time> deliveredAt(pr.sent.size(), Time::max());
  std::vector<bool> delivered(pr.sent.size(), false);
  std::vector<size_t> firstIdx(pr.sessions.size(), SIZE_MAX);
  std::vector<size_t> lastIdx(pr.sessions.size(), SIZE_MAX);
  size_t last = 0;
  bool any = false;
  for (size_t si = 0; si < pr.sessions.size(); ++si) {
    for (const ReplyRecord& r : pr.sessions[si].replies) {
      auto it = index.find(r.text);
      if (it == index.end()) {
        bool cutBySim = false;
        for (const SentReply& s : pr.sent) {
          if (s.failed && s.text.compare(0, r.text.size(), r.text) == 0) cutBySim = true;
        }
        if (cutBySim) {
          ++(*counts)["replies cut by a failed controller write"];
        } else {
          findings->push_back(name + ": client " + std::to_string(si) +
                              " got a reply line nobody sent: " + Show(r.text));
        }
        continue;
      }
      size_t i = it->second;
      if (delivered[i]) {
        findings->push_back(name + ": reply delivered twice: " + Show(r.text));
        continue;
      }
      if (any && i < last) {
        findings->push_back(name + ": reply out of order (client " + std::to_string(si) +
                            "): " + Show(r.text) + " after " + Show(pr.sent[last].text));
      }
      delivered[i] = true;
      deliveredAt[i] = r.at;
      firstIdx[si] = std::min(firstIdx[si], i);
      lastIdx[si] = std::max(lastIdx[si] == SIZE_MAX ? 0 : lastIdx[si], i);
      last = std::max(last, i);
      any = true;
      ++(*counts)["replies delivered"];
    }
  }
  // The next delivery after each reply bounds the moment it was routed.
  std::vector<Time> bound(pr.sent.size(), obs.end);
  Time next = obs.end;
  for (size_t i = pr.sent.size(); i-- > 0;) {
    bound[i] = next;
    if (delivered[i]) next = std::min(next, deliveredAt[i]);
  }
  for (size_t i = 0; i < pr.sent.size(); ++i) {
    const SentReply& s = pr.sent[i];
    if (s.eof) continue;
    ++(*counts)["replies sent"];
    if (delivered[i]) continue;
    if (s.failed) {
      ++(*counts)["replies dropped: controller write failed"];
      continue;
    }
    Time to = bound[i];
    // The session that held the port when the reply was routed, if one
    // surely did: it got an earlier reply of the stream, and a later one
    // too or it stayed connected until the next delivery (routing keeps the
    // stream's order).
    const SessionRecord* holder = nullptr;
    size_t holderIndex = 0;
    for (size_t si = 0; si < pr.sessions.size(); ++si) {
      const SessionRecord& ss = pr.sessions[si];
      if (!ss.connected || firstIdx[si] >= i) continue;
      if (lastIdx[si] > i || ss.closeAt >= to) {
        holder = &ss;
        holderIndex = si;
      }
    }
    if (holder == nullptr) {
      ++(*counts)["replies dropped: no client"];
      continue;
    }
    // The log does not name the port: a stall logged while the holder was
    // connected counts (usually it is the holder's own read pause).
    bool stalled = false;
    for (Time t : obs.stallLogs) {
      if (InWindow(t, holder->connectAt, holder->closeAt + std::chrono::seconds(2))) stalled = true;
    }
    if (stalled) {
      ++(*counts)[holder->readPaused ? "replies dropped: queue full (client paused reading)"
                                     : "replies dropped: queue full (client reading)"];
      continue;
    }
    Time since = holderIndex > 0 ? pr.sessions[holderIndex - 1].closeAt : Time::min();
    bool ended = false;
    for (size_t e = 0; e < i; ++e) {
      if (pr.sent[e].eof && pr.sent[e].at >= since) ended = true;
    }
    if (ended) {
      ++(*counts)["replies dropped: after end of file"];
      continue;
    }
    bool lost = false;
    for (Time t : cr.lossTime) {
      if (InWindow(t, s.at, to)) lost = true;
    }
    if (lost) {
      ++(*counts)["replies dropped: line lost"];
      continue;
    }
    findings->push_back(name + ": reply lost while client " + std::to_string(holderIndex) +
                        " held the port and read: " + Show(s.text));
  }
  for (size_t si = 0; si < pr.sessions.size(); ++si) {
    const SessionRecord& ss = pr.sessions[si];
    if (!ss.eofRequested || ss.sawEof) continue;
    // Only an end-of-file reply that went out a while before the close had
    // to end this client (one stuck behind a flood may end the next one).
    bool due = false;
    for (const SentReply& s : pr.sent) {
      if (s.eof && !s.failed && s.at >= ss.connectAt &&
          s.at + std::chrono::seconds(1) <= ss.closeAt) {
        due = true;
      }
    }
    bool excused = !due;
    for (Time t : cr.lossTime) {
      if (InWindow(t, ss.connectAt, ss.closeAt)) excused = true;
    }
    if (!excused)
      findings->push_back(name + ": the end-of-file reply did not end client " +
                          std::to_string(si));
  }
}

}  // namespace

Verdict Judge(const Observations& obs) {
  Verdict v;
  const Script& script = *obs.script;
  std::vector<PortModel> models;
  for (const PortRecord& pr : obs.ports) models.push_back(ModelPort(pr));
  for (size_t k = 0; k < script.ports.size(); ++k) {
    for (const Token& t : models[k].tokens) {
      if (!t.optional) ++v.counts["commands sent"];
    }
    v.counts["commands sent, too long"] += models[k].tooLong.size();
  }
  for (size_t c = 0; c < obs.ctls.size(); ++c) {
    const ControllerRecord& cr = obs.ctls[c];
    std::map<int, std::vector<WireItem>> wire;  // per port number
    std::map<int, size_t> portOf;               // port number -> index in script.ports
    for (size_t k = 0; k < script.ports.size(); ++k) {
      if (script.ports[k].ctl == c) portOf[script.ports[k].port] = k;
    }
    size_t loss = 0;
    for (size_t li = 0; li <= cr.lines.size(); ++li) {
      while (loss < cr.lossAt.size() && cr.lossAt[loss] == li) {
        for (auto& [n, items] : portOf) wire[n].push_back({true, "", cr.lossTime[loss]});
        ++loss;
      }
      if (li == cr.lines.size()) break;
      const lab::ReceivedLine& line = cr.lines[li];
      int port = -1;
      std::string text;
      bool parsed = lab::ParseCommandLine(line.text, &port, &text) && portOf.count(port) != 0;
      if (line.cut) {
        // The daemon was writing this line when the line went: it must be
        // the start of a command line of one of the controller's ports.
        bool fits = false;
        for (auto& [n, k] : portOf) {
          for (const Token& t : models[k].tokens) {
            std::string full = "CMD:port E1." + std::to_string(n) + " " + t.text;
            if (full.compare(0, line.text.size(), line.text) == 0) fits = true;
          }
        }
        ++v.counts["lines cut by an unplug"];
        if (!fits)
          v.findings.push_back("controller " + std::to_string(c) +
                               ": line cut at an unplug is no command's start: " + Show(line.text));
        continue;
      }
      if (!parsed) {
        v.findings.push_back("controller " + std::to_string(c) + ": malformed line " +
                             Show(line.text));
        continue;
      }
      wire[port].push_back({false, text, Time()});
    }
    for (auto& [n, k] : portOf) {
      std::string name = "port " + std::to_string(k) + " (controller " + std::to_string(c) +
                         " E1." + std::to_string(n) + ")";
      PortJudge judge(name, models[k], obs.ports[k], &v.findings);
      judge.Run(wire[n], &v.counts);
      JudgeReplies(name, obs.ports[k], cr, obs, &v.findings, &v.counts);
    }
  }
  return v;
}

}  // namespace chaos
