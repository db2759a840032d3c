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
  int64_t lastInputMs;  // when the client was accepted or last sent
  char receive[kClientReadBytes + 1];
  char work[kMaxBlockCommands][kCommandLineSize];
};

void ReadAndForward(E1PortSlot* slot, PortState* st) {
  // Never waits: POLLIN may stand for urgent data alone, which a plain read
  // does not return, and a blocking read would then hold the thread for good.
  ssize_t n = recv(st->clientFd, st->receive, sizeof st->receive - 1, MSG_DONTWAIT);
  if (n == 0) st->clientDoneSending = true;
  if (n <= 0) return;
  st->receive[n] = '\0';
  int count = FormatCommandBlock(st->receive, slot->portIndex, st->work);
  if (count == 0) return;
  memcpy(slot->commands, st->work, sizeof slot->commands);
  slot->commandCount = count;
  SendCommandBlock(slot->controller, slot);
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
  AttachPortClient(slot, client);
}

// Closes the client under the controller lock (see ClosePortClient for the
// order of the locks); the socket listens again from the next turn.
void CloseClient(E1PortSlot* slot, PortState* st) {
  E1Controller* c = slot->controller;
  pthread_mutex_lock(&c->lock);
  ClosePortClient(slot);
  pthread_mutex_unlock(&c->lock);
  st->clientFd = -1;
  st->listenFd = -2;
}

// Milliseconds until a requested replay is due: 0 now, -1 when none is
// requested. Without a client it is due at once.
int ReplayWaitMs(E1PortSlot* slot, const PortState* st) {
  if (!slot->replayRequested.load()) return -1;
  if (st->clientFd < 0) return 0;
  int64_t quiet = NowMs() - st->lastInputMs;
  return quiet >= kReplayQuietMs ? 0 : static_cast<int>(kReplayQuietMs - quiet);
}

void ServeReplay(E1PortSlot* slot) {
  if (!slot->replayRequested.exchange(0)) return;
  SendCommandBlock(slot->controller, slot);
  LogMessage(5, "Last command block request processed (%d cmds) for E1 thread idx %d\n",
             slot->commandCount, static_cast<int>(slot->portIndex));
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
    // unless a replay waits for a busy client to be quiet.
    struct pollfd p[2] = {{slot->wakeFd, POLLIN, 0}, {st.listenFd, POLLIN, 0}};
    if (st.clientFd >= 0) {
      p[1].fd = st.clientFd;
      p[1].events = st.clientDoneSending ? 0 : POLLIN | POLLPRI;
      if (HasQueuedReplies(slot)) p[1].events |= POLLOUT;
    }
    int rc = poll(p, 2, ReplayWaitMs(slot, &st));
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
      if (ev & ~POLLOUT) st.lastInputMs = NowMs();
      if (ev & POLLIN) ReadAndForward(slot, &st);
      const char* report = PollReport(ev);
      if (report != nullptr) {
        LogMessage(7, "%s: reports %s\n", "E1_thread", report);
        CloseClient(slot, &st);
      }
    }
    if (ReplayWaitMs(slot, &st) == 0) ServeReplay(slot);
  }
  return nullptr;
}
