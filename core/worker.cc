#include "core/worker.h"

int StartWorker(pthread_t* thread, void* (*body)(void*), void* arg) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, E1_THREAD_STACK_SIZE);
  int rc = pthread_create(thread, &attr, body, arg);
  pthread_attr_destroy(&attr);
  return rc;
}
