#include "uart/tty_thread.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include "core/fd_util.h"
#include "core/log.h"
#include "core/log_escape.h"
#include "core/port_slot.h"
#include "core/run_options.h"
#include "uart/ctl_uart.h"
#include "uart/reply_route.h"

// While a monitor is attached, each reply line gathered in a batch keeps
// what the monitor shows of it: where its text ends in the batch and the
// tags before the text (the line as on the wire is the two together).
struct TapLine {
  uint16_t textStart;
  uint16_t textEnd;
  uint8_t prefixLen;
  char prefix[32];  // "ACK:" and the port tags: at most 4 + 5 * 5 characters
};
enum { kTapLinesPerBatch = 64 };

// Replies gathered while one burst of input is read, per port, so that a
// client gets them in one write instead of one write per line. A burst ends
// when the stream has no complete line left; a full buffer is sent early.
struct ReplyBatch {
  char text[kMaxE1Ports][4096];
  size_t len[kMaxE1Ports];
  TapLine tapLines[kMaxE1Ports][kTapLinesPerBatch];
  int tapCount[kMaxE1Ports];
};

// The rest of a burst that a client took in part always fits its empty
// queue (see WriteReplyToClient).
static_assert(sizeof(ReplyBatch::text[0]) < kReplyQueueBytes, "a burst must fit the reply queue");

// Shows the lines of a burst to the monitors with what became of each.
static void TapBurst(E1Controller* c, int port, const ReplyBatch* b, const ReplyFate& fate) {
  char wire[kTapTextMax];
  for (int i = 0; i < b->tapCount[port]; ++i) {
    const TapLine& l = b->tapLines[port][i];
    size_t start = l.textStart;
    size_t textLen = l.textEnd - start;
    size_t n = l.prefixLen;
    memcpy(wire, l.prefix, n);
    size_t room = sizeof wire - n;
    memcpy(wire + n, b->text[port] + start, textLen < room ? textLen : room);
    n += textLen < room ? textLen : room;
    TapOutcome o = l.textEnd <= fate.taken ? TapOutcome::kDelivered : fate.rest;
    PushTap(&c->tap, port, TapDir::kRx, o, wire, n);
  }
}

static void FlushReplies(E1Controller* c, ReplyBatch* b, int port) {
  if (b->len[port] == 0) return;
  ReplyFate fate = WriteReplyToClient(&c->ports[port], b->text[port], b->len[port]);
  if (b->tapCount[port] > 0) TapBurst(c, port, b, fate);
  b->len[port] = 0;
  b->tapCount[port] = 0;
}

static void FlushAllReplies(E1Controller* c, ReplyBatch* b) {
  if (b == nullptr) return;
  for (int port = 0; port < kMaxE1Ports; ++port) FlushReplies(c, b, port);
}

// While monitors watch, the lines that wait in the batch for ports other
// than `port` (all with -1) go out first, so that the tap shows the lines in
// the order they came: what the clients get stays the same, only in more
// writes.
static void FlushOthersForTap(E1Controller* c, ReplyBatch* b, int port) {
  if (b == nullptr) return;
  for (int p = 0; p < kMaxE1Ports; ++p) {
    if (p != port) FlushReplies(c, b, p);
  }
}

// A line handed to its client at once (no batch) or not passed on at all,
// shown to the monitors after the lines before it.
static void TapLineNow(E1Controller* c, ReplyBatch* b, int port, TapOutcome o, const char* line) {
  if (!TapWanted(&c->tap)) return;
  FlushOthersForTap(c, b, -1);
  PushTap(&c->tap, port, TapDir::kRx, o, line, strlen(line));
}

// Routes one complete line to the client of the port it names (through the
// batch when there is one).
static void RouteLine(E1Controller* c, const char* line, ReplyBatch* b) {
  if (g_options.logLevel >= 7 && !g_options.quiet) {
    // Escaped: a controller that echoes commands passes clients' bytes on.
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n') --n;
    char shown[(kReplyLineMax + 1) * kLogEscapeMaxPerByte + 1];
    EscapeForLog(line, n, shown, sizeof shown);
    LogMessage(7, "%s\n", shown);
  }
  ReplyTarget t;
  if (!ParseReply(line, &t) || t.port < 0) {
    TapLineNow(c, b, -1, TapOutcome::kNotAReply, line);
    return;
  }
  E1PortSlot* slot = &c->ports[t.port];
  if (t.endOfFile) {
    LogMessage(7, "%s: EOF received\n", "TTY_loop");
    if (b != nullptr) FlushReplies(c, b, t.port);  // what came before still goes out
    ShutdownClient(slot);
    TapLineNow(c, b, t.port, TapOutcome::kEof, line);
    return;
  }
  size_t n = strlen(t.text);
  bool tapped = TapWanted(&c->tap);
  if (b == nullptr) {
    ReplyFate fate = WriteReplyToClient(slot, t.text, n);
    if (tapped)
      TapLineNow(c, b, t.port, fate.taken >= n ? TapOutcome::kDelivered : fate.rest, line);
    return;
  }
  if (tapped) FlushOthersForTap(c, b, t.port);
  if (n > sizeof b->text[t.port] - b->len[t.port] ||
      (tapped && b->tapCount[t.port] == kTapLinesPerBatch)) {
    FlushReplies(c, b, t.port);
  }
  size_t start = b->len[t.port];
  memcpy(b->text[t.port] + b->len[t.port], t.text, n);  // n <= 511 always fits now
  b->len[t.port] += n;
  if (tapped) {
    TapLine& l = b->tapLines[t.port][b->tapCount[t.port]++];
    l.textStart = static_cast<uint16_t>(start);
    size_t prefix = static_cast<size_t>(t.text - line);
    l.prefixLen = static_cast<uint8_t>(prefix < sizeof l.prefix ? prefix : sizeof l.prefix);
    memcpy(l.prefix, line, l.prefixLen);
    l.textEnd = static_cast<uint16_t>(b->len[t.port]);
  }
}

// Reads and routes every piece available now. Lines that arrived together
// with an end-of-file reply are routed too: left in the stream's buffer they
// would wait for the device's next byte, which may never come.
static void ReadLines(E1Controller* c, LineAssembler* a, char** piece, size_t* pieceSize,
                      ReplyBatch* b) {
  for (;;) {
    ssize_t n = getline(piece, pieceSize, c->rdFile);
    if (n < 0) {
      clearerr(c->rdFile);
      break;
    }
    if (n == 0) break;
    bool complete = false;
    if (AppendPiece(a, *piece, static_cast<size_t>(n), &complete) == PieceResult::kOverflow) {
      LogMessage(7, "%s: buffer overflow attempt\n", "TTY_loop");
    }
    if (!complete) {
      LogMessage(7, "%s: partial line arrived: linelen=%d, assembling...\n", "TTY_loop",
                 static_cast<int>(n));
      // The line reader stopped for want of data; the stream's error state
      // must not stop the next read.
      clearerr(c->rdFile);
      break;
    }
    RouteLine(c, a->buf, b);
    // Nothing more in the stream's buffer: what the device sends next is
    // announced by poll. Asking the line reader again would only cost a
    // read() that fails with EAGAIN.
    if (c->rdFile->_IO_read_ptr >= c->rdFile->_IO_read_end) break;
  }
  FlushAllReplies(c, b);
}

int TTY_loop(E1Controller* c) {
  LineAssembler a;
  a.fill = 0;
  a.buf[0] = '\0';
  char* piece = nullptr;
  size_t pieceSize = 0;
  // Without memory for the batch every reply is written on its own.
  ReplyBatch* batch = static_cast<ReplyBatch*>(calloc(1, sizeof(ReplyBatch)));
  struct pollfd p = {c->ctlUART_dr, POLLIN, 0};
  fflush(c->rdFile);

  while (c->ttyRunning) {
    // No timeout: the line reports its data, hang-up and errors itself.
    int rc = poll(&p, 1, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;  // a handled signal, not a fault
      LogMessage(3, "Poll error for %s\n", "TTY_loop");
      SleepMs(200);
      continue;
    }
    if (rc == 0) continue;
    if (p.revents & POLLIN) ReadLines(c, &a, &piece, &pieceSize, batch);
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
      LogMessage(7, "%s: reports: %s %s %s\n", "TTY_loop", (p.revents & POLLHUP) ? "POLLHUP" : "",
                 (p.revents & POLLERR) ? "POLLERR" : "", (p.revents & POLLNVAL) ? "POLLNVAL" : "");
      break;
    }
  }

  pthread_mutex_lock(&c->lock);
  RestoreMode(c->ctlUART_dr, &c->savedMode);
  fclose(c->wrFile);
  fclose(c->rdFile);
  c->wrFile = nullptr;
  c->rdFile = nullptr;
  c->ctlUART_dw = -1;
  c->ctlUART_dr = -1;
  pthread_mutex_unlock(&c->lock);
  free(piece);
  free(batch);
  return 0;
}

void (*g_serialStartHook)(E1Controller* c) = nullptr;

void* TTY_thread(void* arg) {
  E1Controller* c = static_cast<E1Controller*>(arg);
  if (g_serialStartHook != nullptr) g_serialStartHook(c);
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

  while (c->ttyRunning) {
    if (c->ctlUART_dr < 0) {
      WaitCtlUART(c);
      // A tty absent at start-up is opened for the first time, not again.
      if (Read(c->counters.uart.losses) > 0) {
        Bump(c->counters.uart.reopens);
        c->counters.uart.lastReopenMs.store(WallMs(), std::memory_order_relaxed);
      }
    }
    c->counters.uart.sinceMs.store(WallMs(), std::memory_order_relaxed);
    PublishUARTState(c, true);
    TTY_loop(c);
    int64_t lostMs = WallMs();
    Bump(c->counters.uart.losses);
    c->counters.uart.lastLossMs.store(lostMs, std::memory_order_relaxed);
    c->counters.uart.sinceMs.store(lostMs, std::memory_order_relaxed);
    PublishUARTState(c, false);
  }
  return nullptr;
}
