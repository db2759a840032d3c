// The service manager's end of the notification socket, for the lab suites
// that run the daemon as a service manager would.
#ifndef E1CTLD_TESTS_SERVICE_NOTIFY_LISTENER_H_
#define E1CTLD_TESTS_SERVICE_NOTIFY_LISTENER_H_

#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lab/wait.h"

namespace lab {

// The service manager's end: a datagram socket that records every message
// with the time it arrived.
class NotifyListener {
 public:
  struct Message {
    std::string text;
    std::chrono::steady_clock::time_point at;
  };

  // `name` is a path, or "@name" for the abstract namespace.
  explicit NotifyListener(std::string name) : name_(std::move(name)) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, name_.data(), name_.size());
    if (name_[0] == '@') a.sun_path[0] = '\0';
    socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name_.size());
    if (name_[0] != '@') unlink(name_.c_str());
    bound_ = bind(fd_, reinterpret_cast<struct sockaddr*>(&a), len) == 0;
    struct timeval tv = {0, 50 * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    reader_ = std::thread([this] {
      char buf[4096];
      while (!stop_) {
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> lock(mu_);
        messages_.push_back(
            {std::string(buf, static_cast<size_t>(n)), std::chrono::steady_clock::now()});
      }
    });
  }
  ~NotifyListener() {
    stop_ = true;
    reader_.join();
    close(fd_);
    if (name_[0] != '@') unlink(name_.c_str());
  }

  bool Bound() const { return bound_; }
  std::string Env() const { return "NOTIFY_SOCKET=" + name_; }

  std::vector<Message> Messages() const {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
  }
  // The messages that hold `needle`.
  std::vector<Message> With(const std::string& needle) const {
    std::vector<Message> out;
    for (const Message& m : Messages()) {
      if (m.text.find(needle) != std::string::npos) out.push_back(m);
    }
    return out;
  }
  bool WaitFor(const std::string& needle, std::chrono::milliseconds timeout) const {
    return lab::WaitUntil([&] { return !With(needle).empty(); }, timeout);
  }

 private:
  std::string name_;
  int fd_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::thread reader_;
  mutable std::mutex mu_;
  std::vector<Message> messages_;
};

}  // namespace lab

#endif  // E1CTLD_TESTS_SERVICE_NOTIFY_LISTENER_H_
