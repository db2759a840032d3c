#include "ports/e1_thread.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/fd_util.h"
#include "core/log.h"
#include "core/port_slot.h"
#include "core/wake_fd.h"
#include "ports/command_block.h"
#include "ports/command_framer.h"
#include "ports/listen_socket.h"

namespace {

// A replay waits until the client has sent nothing for this long, so that
// the replayed block does not come between the commands of a busy client.
const int kReplayQuietMs = 100;

struct PortState {
  int listenFd;
  int clientFd;
  // The client shut its sending side down: it may still wait for replies,
  // so it stays connected, but its endless end-of-file is no longer read.
  bool clientDoneSending;
  int64_t lastInputMs;  // when the client was accepted or last read from
  int tailQuietMs;      // how long the kept tail waits for more (see e1_thread.h)
  CommandFramer framer;
  CommandBlockBuilder builder;
  char receive[kClientReadBytes];
};

// Sends the kept tail of the client's text as a command.
void FlushCommandTail(PortState* st) {
  if (!HasTail(&st->framer)) return;
  FlushTail(&st->framer, AddCommandToBlock, &st->builder);
  FinishCommandBlock(&st->builder);
}

// One read from the client, framed into commands that go out in blocks.
// Returns false when nothing more is to be read now: the client ended its
// sending (its tail is then sent), or no data waits.
bool ReadAndForward(PortState* st) {
  // Never waits: POLLIN may stand for urgent data alone, which a plain read
  // does not return, and a blocking read would then hold the thread for good.
  ssize_t n = recv(st->clientFd, st->receive, sizeof st->receive, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
  if (n <= 0) {
    // The client ended (or its connection failed): what it wrote last is
    // a command, separator or not.
    st->clientDoneSending = true;
    FlushCommandTail(st);
    return false;
  }
  bool filled = static_cast<size_t>(n) == sizeof st->receive;
  st->tailQuietMs = filled ? kCommandTailQuietMs : kCommandPieceQuietMs;
  FrameRead(&st->framer, st->receive, static_cast<size_t>(n), AddCommandToBlock, &st->builder);
  FinishCommandBlock(&st->builder);
  return true;
}

void AcceptClient(E1PortSlot* slot, PortState* st) {
  int client = accept(st->listenFd, nullptr, nullptr);
  if (client < 0) {
    // Tried again next turn; the pause keeps a lasting failure (no
    // descriptors left) from spinning while the connection waits.
    SleepMs(100);
    return;
  }
  CloseRetry(st->listenFd);
  st->listenFd = -1;
  st->clientFd = client;
  st->clientDoneSending = false;
  st->lastInputMs = NowMs();
  InitCommandFramer(&st->framer);
  AttachPortClient(slot, client);
}

// Closes the client; the socket listens again from the next turn. What the
// client wrote before it went is read and sent first: a client may write
// its commands and close at once. Only the port's own lock is taken for the
// close, never the controller's (see ClosePortClient).
void CloseClient(E1PortSlot* slot, PortState* st) {
  if (!st->clientDoneSending) {
    while (ReadAndForward(st)) {
    }
  }
  FlushCommandTail(st);
  ClosePortClient(slot);
  st->clientFd = -1;
  st->listenFd = -2;
}

// Milliseconds until `quietMs` of client quiet have passed, 0 when they have.
int QuietWaitMs(const PortState* st, int quietMs) {
  int64_t quiet = NowMs() - st->lastInputMs;
  return quiet >= quietMs ? 0 : static_cast<int>(quietMs - quiet);
}

// Milliseconds until a requested replay is due: 0 now, -1 when none is
// requested. Without a client it is due at once.
int ReplayWaitMs(E1PortSlot* slot, const PortState* st) {
  if (!slot->replayRequested.load()) return -1;
  if (st->clientFd < 0) return 0;
  return QuietWaitMs(st, kReplayQuietMs);
}

// Milliseconds until the kept tail is due as a command, -1 when none is kept.
int TailWaitMs(const PortState* st) {
  if (st->clientFd < 0 || !HasTail(&st->framer)) return -1;
  return QuietWaitMs(st, st->tailQuietMs);
}

// The poll timeout: the earlier of the two waits, -1 (none) when neither runs.
int PollTimeoutMs(E1PortSlot* slot, const PortState* st) {
  int replay = ReplayWaitMs(slot, st);
  int tail = TailWaitMs(st);
  if (replay < 0) return tail;
  if (tail < 0) return replay;
  return replay < tail ? replay : tail;
}

}  // namespace

const char* PollReport(short revents) {
  if (revents & POLLERR) return "POLLERR";
  if (revents & POLLHUP) return "POLLHUP";
  if (revents & POLLNVAL) return "POLLNVAL";
  if (revents & POLLPRI) return "POLLPRI";
  return nullptr;
}

void* E1_thread(void* arg) {
  E1PortSlot* slot = static_cast<E1PortSlot*>(arg);
  PortState st;
  st.listenFd = -2;
  st.clientFd = -1;
  st.clientDoneSending = false;
  st.lastInputMs = 0;
  st.tailQuietMs = kCommandPieceQuietMs;
  InitCommandFramer(&st.framer);
  InitCommandBlockBuilder(&st.builder, slot);
  slot->commandCount = 0;
  slot->clientFd = -1;

  while (slot->running) {
    if (st.listenFd <= -2) {
      st.listenFd = CreateListenSocket(slot->socketPath, "E1_thread");
      slot->listening = 1;  // it accepts clients from now on
    }
    // One wait for everything that can happen to the port: a wake-up from
    // the serial thread (replies queued, a replay asked for), a connection,
    // the client's data or end, room for queued replies. No timer runs
    // unless a replay or a kept tail waits for the client to be quiet.
    struct pollfd p[2] = {{slot->wakeFd, POLLIN, 0}, {st.listenFd, POLLIN, 0}};
    if (st.clientFd >= 0) {
      p[1].fd = st.clientFd;
      p[1].events = st.clientDoneSending ? 0 : POLLIN | POLLPRI;
      if (HasQueuedReplies(slot)) p[1].events |= POLLOUT;
    }
    int rc = poll(p, 2, PollTimeoutMs(slot, &st));
    if (rc < 0) {
      if (errno == EINTR) continue;  // a handled signal, not a fault
      LogMessage(1, "Poll E1 port error\n");
      SleepMs(200);
      continue;
    }
    if (p[0].revents & POLLIN) TakeWake(p[0].fd);
    short ev = p[1].revents;
    if (st.clientFd < 0) {
      // A replay asked for while nobody is connected goes out before the
      // next client is accepted, as it would have a moment earlier: it must
      // not wait behind that client's commands and then repeat them.
      if (ReplayWaitMs(slot, &st) == 0) ServeReplay(slot);
      if (ev != 0) AcceptClient(slot, &st);
    } else if (ev != 0) {
      if (ev & POLLOUT) WriteQueuedReplies(slot);
      if (ev & POLLIN) ReadAndForward(&st);
      // Counted from the end of the read: the blocks may have waited long
      // for the controller, and the client was not quiet meanwhile, it was
      // held up. Its next bytes may already wait in the socket.
      if (ev & ~POLLOUT) st.lastInputMs = NowMs();
      const char* report = PollReport(ev);
      if (report != nullptr) {
        LogMessage(7, "%s: reports %s\n", "E1_thread", report);
        CloseClient(slot, &st);
      }
    }
    if (TailWaitMs(&st) == 0) FlushCommandTail(&st);
    if (ReplayWaitMs(slot, &st) == 0) ServeReplay(slot);
  }
  return nullptr;
}
