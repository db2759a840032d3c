#include "tests/chaos/chaos_replies.h"

#include <utility>

namespace chaos {

void ReplySender::Loop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || (ready_ && !queue_.empty()); });
    if (stop_) return;
    Item it = std::move(queue_.front());
    queue_.pop_front();
    sending_ = true;
    lock.unlock();
    SentReply s;
    s.text = it.eof ? "EOF" : it.text;
    s.eof = it.eof;
    s.at = Clock::now();
    s.failed = !sim_->Send("ACK:E1." + std::to_string(it.port) + ":" + s.text + "\n");
    (*ports_)[it.k].sent.push_back(s);
    lock.lock();
    sending_ = false;
    idle_.notify_all();
  }
}

}  // namespace chaos
