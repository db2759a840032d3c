#include "lab/access_watch.h"

#include <errno.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace lab {

AccessWatch::AccessWatch(const std::vector<std::string>& dirs) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error(std::string("inotify_init1: ") + strerror(errno));
  for (const std::string& dir : dirs) {
    int wd = inotify_add_watch(fd_, dir.c_str(), IN_OPEN | IN_ACCESS | IN_ONLYDIR);
    if (wd < 0) {
      int err = errno;
      close(fd_);
      throw std::runtime_error("inotify_add_watch " + dir + ": " + strerror(err));
    }
    watches_.emplace_back(wd, dir);
  }
}

AccessWatch::~AccessWatch() {
  if (fd_ >= 0) close(fd_);
}

std::vector<std::string> AccessWatch::Accessed() {
  std::vector<std::string> out;
  alignas(struct inotify_event) char buf[8192];
  for (;;) {
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) break;
    for (char* p = buf; p < buf + n;) {
      auto* ev = reinterpret_cast<struct inotify_event*>(p);
      for (const auto& [wd, dir] : watches_) {
        if (wd != ev->wd) continue;
        // An event on an entry of a watched directory carries its name.
        std::string path = ev->len > 0 ? dir + "/" + ev->name : dir;
        if (std::find(out.begin(), out.end(), path) == out.end()) out.push_back(path);
      }
      p += sizeof(struct inotify_event) + ev->len;
    }
  }
  return out;
}

}  // namespace lab
