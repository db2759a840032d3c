#include "daemon/supervisor.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/counters.h"
#include "core/fd_util.h"
#include "core/log.h"
#include "core/log_queue.h"
#include "core/port_slot.h"
#include "core/process_exit.h"
#include "core/run_options.h"
#include "core/run_paths.h"
#include "core/worker.h"
#include "daemon/aux_sockets.h"
#include "daemon/control_socket.h"
#include "daemon/descriptor_limit.h"
#include "daemon/lock_files.h"
#include "daemon/service_notify.h"
#include "daemon/signals.h"
#include "ethernet/eth_pairs.h"
#include "ethernet/swap_aside.h"
#include "ports/e1_thread.h"
#include "ports/listen_socket.h"
#include "uart/ctl_uart.h"
#include "uart/tty_thread.h"

// How often the Ethernet pass runs.
static const int kPassIntervalMs = 200;

static void LogControllerListing(E1Controller* const* cs, int count) {
  if (count != 0) LogMessage(6, "Found %d E1 controller%s\n\n", count, count == 1 ? "" : "(s)");
  for (int i = 0; i < count; ++i) {
    E1Controller& c = *cs[i];
    LogMessage(6, "Controller #%d INFO:\n", i + 1);
    LogMessage(6, "Controller device name: %s (/dev/%s)\n", c.ttyName, c.ttyName);
    LogMessage(6, "USB Vendor ID: %4.4X, Product ID: %4.4X\n", c.vid, c.pid);
    LogMessage(6, "Path to controller USB Hub device: %s\n", c.hubPath);
    LogMessage(6, "E1 port(s) controlable by #%d: %d\n", i + 1, c.e1Ports);
    int ports = c.e1Ports < kMaxEthPairs ? c.e1Ports : kMaxEthPairs;
    for (int j = 0; j < ports; ++j) {
      LogMessage(6, "ETH pair name #%d: %s\n", j + 1, c.ethName[j] != nullptr ? c.ethName[j] : "_");
    }
  }
}

static void StartController(E1Controller* c, const char* invocation) {
  TakeLockFile(c, invocation);
  pthread_mutex_init(&c->lock, nullptr);
  pthread_cond_init(&c->lineChanged, nullptr);
  c->ifSock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (c->ifSock < 0) return;
  // A tty that is not there yet is waited for as one lost after start-up:
  // the serial thread opens it when it appears, and the ports serve their
  // clients meanwhile (a command waits for the line). Accounted as waiting
  // before the thread runs, so that readiness does not wait for the tty.
  if (OpenCtlUART(c) < 0) PublishUARTState(c, false);
  c->ttyRunning = 1;
  StartWorker(&c->ttyThread, TTY_thread, c);
}

static void StartPorts(E1Controller* c) {
  if (!c->ttyRunning) return;
  for (int n = 0; n < c->e1Ports && n < kMaxE1Ports; ++n) {
    E1PortSlot* s = &c->ports[n];
    s->portIndex = static_cast<uint32_t>(n);
    s->controller = c;
    s->commandCount = 0;
    memset(s->commands, 0, sizeof s->commands);
    FormatPortSocketPath(s->socketPath, sizeof s->socketPath, n, c->usbIfName);
    s->running = 1;
    // A port without its wake-up descriptor or reply queue cannot run, as
    // one whose thread cannot be created.
    bool started = OpenPortResources(s) == 0;
    if (started && StartWorker(&s->thread, E1_thread, s) != 0) {
      ClosePortResources(s);
      started = false;
    }
    if (!started) {
      // The serial thread may be replacing the name this moment.
      char ttyName[256];
      CopyTTYName(c, ttyName, sizeof ttyName);
      LogMessage(3, "Thread create error for %s\n", ttyName);
    }
  }
}

void RunSupervisor(E1Controller* const* cs, int count, const char* invocation) {
  // Before any lock file, UART or socket is opened: a large hub tree needs
  // more descriptors than the usual soft limit.
  RaiseDescriptorLimit();
  g_daemonFacts.startedMs = WallMs();
  g_daemonFacts.startLogLevel = g_options.logLevel;
  if (g_options.daemonize) {
    Daemonize(OnSignal, -1);
  } else {
    InstallSignalHandlers(OnSignal, 0);
  }
  // From here on no thread waits on standard output to log; the writer's
  // exit handler, registered first, runs last and writes the queue out.
  if (!g_options.quiet) StartLogWriter();
  atexit(ReleaseLockFiles);
  if (!g_options.daemonize) LogControllerListing(cs, count);
  AuxPollSet aux;
  if (OpenAuxPollSet(&aux, static_cast<size_t>(count)) != 0) {
    FatalExit(ENOMEM, "Can't allocate the main loop's poll array: %s\n", strerror(ENOMEM));
  }
  for (int i = 0; i < count; ++i) StartController(cs[i], invocation);
  atexit(RestoreAllTTYModes);
  // Interfaces that a swap parked under a temporary name go back at exit.
  atexit(RestoreParkedInterfaces);
  // Before any socket is bound in it: nobody else may add, remove or
  // replace its entries (a member of the group could otherwise take a
  // port's name while its client is connected).
  MakeSocketDirectory(kSocketDir);
  ControlState* control = OpenControlSockets(cs, count);
  for (int i = 0; i < count; ++i) StartPorts(cs[i]);
  StartControlThread(control);

  // The main loop waits on every auxiliary listener and client, until the
  // next Ethernet pass is due: a client's data is served at once, and the
  // pass runs every kPassIntervalMs however busy the clients keep the
  // loop. After a failed accept the next wait leaves the listeners out
  // until a wait times out, so that a connection that cannot be taken does
  // not keep the loop busy.
  bool withListeners = true;
  int64_t nextPassMs = NowMs() + kPassIntervalMs;
  for (;;) {
    ServiceNotifyTurn(cs, count);
    ActOnPendingSignal();
    ActOnLogLevelSignal();
    FillAuxPollSet(&aux, cs, withListeners);
    int64_t left = nextPassMs - NowMs();
    int timeout = left <= 0                 ? 0
                  : left >= kPassIntervalMs ? kPassIntervalMs
                                            : static_cast<int>(left);
    int rc = poll(aux.entries, static_cast<nfds_t>(aux.count), timeout);
    if (rc < 0) {
      if (errno == EINTR) continue;  // a handled signal: act on it at the top
      LogMessage(3, "Poll E1 controller error\n");
      SleepMs(200);
    } else if (rc > 0) {
      withListeners = ServeAuxPollSet(&aux, cs);
    } else {
      withListeners = true;
    }
    int64_t now = NowMs();
    if (now < nextPassMs) continue;
    nextPassMs = now + kPassIntervalMs;
    if (!g_options.keepEthNames) {
      for (int i = 0; i < count; ++i) SyncEthPairs(cs[i]);
    }
  }
}
