#include "core/counters.h"

#include <stdio.h>
#include <time.h>

DaemonFacts g_daemonFacts = {0, 4};

static int64_t ClockUs(clockid_t id) {
  struct timespec ts;
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t WallMs() {
  return ClockUs(CLOCK_REALTIME) / 1000;
}

int64_t WallUs() {
  return ClockUs(CLOCK_REALTIME);
}

int64_t MonotonicUs() {
  return ClockUs(CLOCK_MONOTONIC);
}

const char* PairOutcomeName(PairOutcome o) {
  switch (o) {
    case PairOutcome::kSame:
      return "same";
    case PairOutcome::kRenamed:
      return "renamed";
    case PairOutcome::kFailed:
      return "failed";
    case PairOutcome::kMissing:
      return "missing";
    case PairOutcome::kNoName:
      return "no-name";
    case PairOutcome::kNone:
      break;
  }
  return "none";
}

void InitControllerCounters(ControllerCounters* c) {
  for (PairCounters& p : c->pairs) pthread_mutex_init(&p.nameLock, nullptr);
}

void ReadPairName(PairCounters* p, char* out, size_t size) {
  if (size == 0) return;
  pthread_mutex_lock(&p->nameLock);
  snprintf(out, size, "%s", p->current);
  pthread_mutex_unlock(&p->nameLock);
}

void PublishPairName(PairCounters* p, const char* name) {
  pthread_mutex_lock(&p->nameLock);
  snprintf(p->current, sizeof p->current, "%s", name != nullptr ? name : "");
  pthread_mutex_unlock(&p->nameLock);
}
