// Helpers of the port suites: text that shows where it was cut, and the
// CPU time a process has used.
#ifndef E1CTLD_TESTS_PORTS_PORTS_PROBES_H_
#define E1CTLD_TESTS_PORTS_PORTS_PROBES_H_

#include <sys/types.h>

#include <sstream>
#include <string>

#include "lab/fs.h"

namespace portslab {

// Text that shows where it was cut: "0123456789" repeated, with the decade
// marked by a letter, so that a shifted or shortened copy never compares equal.
inline std::string Pattern(size_t len) {
  std::string s;
  for (size_t i = 0; i < len; ++i) {
    s += (i % 10 == 0) ? static_cast<char>('A' + (i / 10) % 26) : static_cast<char>('0' + i % 10);
  }
  return s;
}

// CPU time (user + system) the process has used, in clock ticks.
inline long CpuTicks(pid_t pid) {
  std::string stat = lab::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  // Fields after the command name start at 3 (state); utime is 14, stime 15.
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

}  // namespace portslab

#endif  // E1CTLD_TESTS_PORTS_PORTS_PROBES_H_
