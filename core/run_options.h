// The options the command line sets for the whole run.
#ifndef E1CTLD_CORE_RUN_OPTIONS_H_
#define E1CTLD_CORE_RUN_OPTIONS_H_

#include <stdint.h>

#include <atomic>

// An int that any thread reads while another may set it: relaxed atomic
// loads and stores, copied and compared as a plain int.
class RelaxedInt {
 public:
  constexpr RelaxedInt(int v = 0) : v_(v) {}  // NOLINT(google-explicit-constructor)
  RelaxedInt(const RelaxedInt& o) : v_(o.Get()) {}
  RelaxedInt& operator=(const RelaxedInt& o) {
    Set(o.Get());
    return *this;
  }
  RelaxedInt& operator=(int v) {
    Set(v);
    return *this;
  }
  operator int() const { return Get(); }  // NOLINT(google-explicit-constructor)
  int Get() const { return v_.load(std::memory_order_relaxed); }
  void Set(int v) { v_.store(v, std::memory_order_relaxed); }

 private:
  std::atomic<int> v_;
};

// Set by the command line before any thread starts; read without a lock.
// The log level alone changes at run time (the control socket's log-level
// request, SIGUSR1 and SIGUSR2), hence atomic: every thread reads it.
struct RunOptions {
  uint8_t quiet;
  RelaxedInt logLevel;
  uint8_t scanOnly;
  uint8_t printPrefix;
  uint8_t daemonize;
  uint8_t ethOnHub;
  uint8_t keepEthNames;
  uint8_t searchMore;
  uint8_t inNamespace;
};

extern RunOptions g_options;

// Resets g_options to its defaults (log level 4, every flag clear).
void SetDefaultRunOptions();

#endif  // E1CTLD_CORE_RUN_OPTIONS_H_
