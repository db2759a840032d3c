// Waiting in end-to-end tests: the daemon acts on its own schedule, so a
// test polls for what must come instead of sleeping a fixed time, and
// counts what appeared in an output.
#ifndef E1CTLD_LAB_WAIT_H_
#define E1CTLD_LAB_WAIT_H_

#include <chrono>
#include <string>
#include <thread>

namespace lab {

// How much longer the daemon may take in a sanitizer build (the test binary
// is compiled with E1_SANITIZER_BUILD there).
#ifdef E1_SANITIZER_BUILD
inline constexpr int kSlow = 4;
#else
inline constexpr int kSlow = 1;
#endif

// A wait or a latency bound of `ms` milliseconds, widened by kSlow.
inline std::chrono::milliseconds Ms(int ms) {
  return std::chrono::milliseconds(ms * kSlow);
}

// Milliseconds from `from` to `to`.
inline long ElapsedMs(std::chrono::steady_clock::time_point from,
                      std::chrono::steady_clock::time_point to = std::chrono::steady_clock::now()) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}

// Polls `cond` every 5 ms until it holds (true) or `timeout` passed (false).
template <class Cond>
bool WaitUntil(Cond cond, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Occurrences of `needle` in `haystack` that do not overlap.
inline size_t CountOf(const std::string& haystack, const std::string& needle) {
  if (needle.empty()) return 0;
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++n;
  }
  return n;
}

}  // namespace lab

#endif  // E1CTLD_LAB_WAIT_H_
