#include "core/controller.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

// Pointers to records allocated one by one: growing the array never moves a
// record, whose mutexes and atomics must stay where they were initialised.
static E1Controller** g_controllers = nullptr;
static int g_controllerCount = 0;
static int g_controllerSlots = 0;  // elements allocated, prepared or counted

void InitControllerRecord(E1Controller* c) {
  new (c) E1Controller();  // value-initialised: every field zero
  c->ctlUART_dr = -1;
  c->ctlUART_dw = -1;
  c->lockFd = -1;
  c->ifSock = -1;
  c->auxListenFd = -2;
  c->auxClientFd = -1;
  pthread_mutex_init(&c->statusLock, nullptr);
  InitControllerCounters(&c->counters);
  InitTrafficTap(&c->tap);
  for (int i = 0; i < kMaxE1Ports; ++i) {
    c->ports[i].clientFd = -1;
    c->ports[i].wakeFd = -1;
    c->ports[i].portIndex = static_cast<uint32_t>(i);
    pthread_mutex_init(&c->ports[i].clientLock, nullptr);
  }
}

void PublishUARTState(E1Controller* c, bool open) {
  pthread_mutex_lock(&c->statusLock);
  snprintf(c->statusTty, sizeof c->statusTty, "%s", c->ttyName != nullptr ? c->ttyName : "");
  c->statusOpen = open ? 1 : 0;
  if (open) c->statusEverOpen = 1;
  c->statusSeq.fetch_add(1);
  pthread_mutex_unlock(&c->statusLock);
}

uint32_t ReadUARTState(E1Controller* c, char* tty, size_t size, UartAccount* state) {
  pthread_mutex_lock(&c->statusLock);
  snprintf(tty, size, "%s", c->statusTty);
  uint32_t seq = c->statusSeq.load();
  if (seq == 0 || c->statusOpen != 0) {
    *state = UartAccount::kOpen;
  } else {
    *state = c->statusEverOpen != 0 ? UartAccount::kLost : UartAccount::kWaiting;
  }
  pthread_mutex_unlock(&c->statusLock);
  return seq;
}

static int CopyString(const char* src, char** dst) {
  *dst = nullptr;
  if (src == nullptr) return 0;
  *dst = strdup(src);
  return *dst == nullptr ? -1 : 0;
}

int CopyControllerRecord(const E1Controller* src, E1Controller* dst) {
  int rc = 0;
  rc |= CopyString(src->usbIfName, &dst->usbIfName);
  rc |= CopyString(src->usbIfPath, &dst->usbIfPath);
  rc |= CopyString(src->hubPath, &dst->hubPath);
  rc |= CopyString(src->ttyName, &dst->ttyName);
  rc |= CopyString(src->lockPath, &dst->lockPath);
  rc |= CopyString(src->auxPath, &dst->auxPath);
  dst->vid = src->vid;
  dst->pid = src->pid;
  dst->e1Ports = src->e1Ports;
  dst->ethPairs = src->ethPairs;
  dst->lockFd = src->lockFd;
  dst->auxListenFd = src->auxListenFd;
  dst->auxClientFd = src->auxClientFd;
  if (rc != 0) {
    // Leave the element as it started: no half-filled record.
    char** strs[] = {&dst->usbIfName, &dst->usbIfPath, &dst->hubPath,
                     &dst->ttyName,   &dst->lockPath,  &dst->auxPath};
    for (char** s : strs) {
      free(*s);
      *s = nullptr;
    }
    return -1;
  }
  return 0;
}

void FreeControllerRecord(E1Controller* c) {
  char* strs[] = {c->usbIfName,  c->usbIfPath,  c->hubPath,    c->ttyName,    c->lockPath,
                  c->auxPath,    c->ethName[0], c->ethName[1], c->ethName[2], c->ethPath[0],
                  c->ethPath[1], c->ethPath[2], c->hubEthName, c->hubEthPath};
  for (char* s : strs) free(s);
  free(c->tap.ring);
  new (c) E1Controller();
}

void CopyTTYName(E1Controller* c, char* buf, size_t size) {
  if (size == 0) return;
  pthread_mutex_lock(&c->lock);
  snprintf(buf, size, "%s", c->ttyName != nullptr ? c->ttyName : "");
  pthread_mutex_unlock(&c->lock);
}

E1Controller* const* GetControllers(int* count) {
  if (count != nullptr) *count = g_controllerCount;
  return g_controllers;
}

E1Controller* PrepareControllerElement() {
  if (g_controllerSlots > g_controllerCount) {
    // A controller dropped after its element was prepared left it here;
    // this one takes it over, locks destroyed before they are set up anew.
    E1Controller* e = g_controllers[g_controllerCount];
    for (E1PortSlot& s : e->ports) pthread_mutex_destroy(&s.clientLock);
    for (PairCounters& p : e->counters.pairs) pthread_mutex_destroy(&p.nameLock);
    pthread_mutex_destroy(&e->tap.lock);
    FreeControllerRecord(e);
    InitControllerRecord(e);
    return e;
  }
  size_t want = static_cast<size_t>(g_controllerCount) + 1;
  size_t bytes = 0;
  // An array of pointers is meant here, not of records.
  // NOLINTNEXTLINE(bugprone-sizeof-expression)
  if (__builtin_mul_overflow(want, sizeof(E1Controller*), &bytes)) return nullptr;
  // Only the array of pointers is reallocated; the records stay put.
  void* grown = realloc(static_cast<void*>(g_controllers), bytes);
  if (grown == nullptr) return nullptr;
  g_controllers = static_cast<E1Controller**>(grown);
  auto* e = static_cast<E1Controller*>(calloc(1, sizeof(E1Controller)));
  if (e == nullptr) return nullptr;
  InitControllerRecord(e);
  g_controllers[g_controllerCount] = e;
  g_controllerSlots = static_cast<int>(want);
  return e;
}

void CommitControllerElement() {
  ++g_controllerCount;
}
