#include "ports/e1_thread.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/fd_util.h"
#include "core/log.h"
#include "ports/command_block.h"
#include "ports/listen_socket.h"

namespace {

struct PortState {
  int listenFd;
  int clientFd;
  // The client shut its sending side down: it may still wait for replies,
  // so it stays connected, but its endless end-of-file is no longer read.
  bool clientDoneSending;
  char receive[1024 + 1];
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

// Closes the client. The slot's clientLock keeps the serial thread from
// writing a reply to the descriptor while it is closed or reused. The
// controller lock comes first: another port's block may hold it for long
// while the controller reads slowly, and the serial thread, which takes
// clientLock to route replies, must not wait behind that.
void CloseClient(E1PortSlot* slot, PortState* st) {
  E1Controller* c = slot->controller;
  pthread_mutex_lock(&c->lock);
  pthread_mutex_lock(&slot->clientLock);
  CloseRetry(st->clientFd);
  st->clientFd = -1;
  slot->clientFd = -1;
  st->listenFd = -2;
  pthread_mutex_unlock(&slot->clientLock);
  pthread_mutex_unlock(&c->lock);
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
  slot->commandCount = 0;
  slot->clientFd = -1;

  while (slot->running) {
    fd_set set;
    FD_ZERO(&set);
    int highest = 0;
    if (st.listenFd <= -2) {
      st.listenFd = CreateListenSocket(slot->socketPath, "E1_thread");
      slot->listening = 1;  // it accepts clients from now on
    }
    if (st.listenFd >= 0) {
      FD_SET(st.listenFd, &set);
      highest = st.listenFd;
    }
    fd_set ready = set;
    struct timeval zero = {0, 0};
    // While a client is connected nothing listens: no check to make, and no
    // system call to spend on it per command.
    int sel = st.listenFd >= 0 ? select(highest + 1, &ready, nullptr, nullptr, &zero) : 0;
    if (sel < 0 && errno != EINTR) {
      LogMessage(3, "%s: Select error: %s!!!\n", "E1_thread", strerror(errno));
      SleepMs(200);
    } else if (sel > 0 && st.listenFd >= 0 && FD_ISSET(st.listenFd, &ready)) {
      int client = accept(st.listenFd, nullptr, nullptr);
      if (client >= 0) {
        CloseRetry(st.listenFd);
        st.listenFd = -1;
        st.clientFd = client;
        st.clientDoneSending = false;
        slot->clientFd = client;
      }
    }

    int rc;
    short events = st.clientDoneSending ? 0 : POLLIN | POLLPRI;
    struct pollfd p = {st.clientFd, events, 0};
    if (st.clientFd < 0) {
      rc = poll(nullptr, 0, 100);
    } else {
      rc = poll(&p, 1, 100);
    }
    if (rc < 0) {
      if (errno == EINTR) continue;  // a handled signal, not a fault
      LogMessage(1, "Poll E1 port error\n");
      SleepMs(200);
      continue;
    }
    if (rc == 0) {
      ServeReplay(slot);
      continue;
    }
    if (p.revents & POLLIN) ReadAndForward(slot, &st);
    const char* report = PollReport(p.revents);
    if (report != nullptr) {
      LogMessage(7, "%s: reports %s\n", "E1_thread", report);
      CloseClient(slot, &st);
    }
  }
  return nullptr;
}
