// The simulated controllers' side of the chaos runs: the reply lines each
// controller sends, written in order by a thread of its own.
#ifndef E1CTLD_TESTS_CHAOS_CHAOS_REPLIES_H_
#define E1CTLD_TESTS_CHAOS_CHAOS_REPLIES_H_

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lab/sim_controller.h"
#include "tests/chaos/chaos_oracle.h"

namespace chaos {

// The controller's replies, written by one thread per controller in the
// order recorded: answers to every command line, floods asked for by the
// clients, end-of-file replies. It writes only while the daemon has the
// line open (a fresh line's input is flushed when the daemon opens it) and
// not while the daemon is stopped (a full pty would cut a reply).
class ReplySender {
 public:
  ReplySender(lab::SimController* sim, std::vector<PortRecord>* ports) : sim_(sim), ports_(ports) {
    thread_ = std::thread([this] { Loop(); });
  }
  ~ReplySender() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  ReplySender(const ReplySender&) = delete;
  ReplySender& operator=(const ReplySender&) = delete;

  void Enqueue(size_t k, int port, std::string text, bool eof = false) {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back({k, port, std::move(text), eof});
    cv_.notify_all();
  }
  // Lets it write (true) or stops it after the write under way (false).
  void Allow(bool ready) {
    std::unique_lock<std::mutex> lock(mu_);
    ready_ = ready;
    cv_.notify_all();
    idle_.wait(lock, [this] { return !sending_; });
  }
  bool Drained() {
    std::lock_guard<std::mutex> lock(mu_);
    return queue_.empty() && !sending_;
  }

 private:
  struct Item {
    size_t k;
    int port;
    std::string text;
    bool eof;
  };
  void Loop();
  lab::SimController* sim_;
  std::vector<PortRecord>* ports_;
  std::mutex mu_;
  std::condition_variable cv_, idle_;
  std::deque<Item> queue_;
  bool ready_ = true;
  bool sending_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace chaos

#endif  // E1CTLD_TESTS_CHAOS_CHAOS_REPLIES_H_
