// Watches directories with inotify to tell whether anything opened or
// listed them: lets a test prove that a run mode left sysfs alone.
#ifndef E1CTLD_LAB_ACCESS_WATCH_H_
#define E1CTLD_LAB_ACCESS_WATCH_H_

#include <string>
#include <vector>

namespace lab {

class AccessWatch {
 public:
  // Watches each existing directory for opens and reads; throws when
  // inotify cannot be set up or a path does not exist.
  explicit AccessWatch(const std::vector<std::string>& dirs);
  ~AccessWatch();
  AccessWatch(const AccessWatch&) = delete;
  AccessWatch& operator=(const AccessWatch&) = delete;

  // What was opened since the start (or the last call), each path once: a
  // watched directory, or an entry of one (as watched dir + "/" + name).
  std::vector<std::string> Accessed();

 private:
  int fd_ = -1;
  std::vector<std::pair<int, std::string>> watches_;
};

}  // namespace lab

#endif  // E1CTLD_LAB_ACCESS_WATCH_H_
