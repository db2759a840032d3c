// The daemon under faults and bad input: two controllers (one and two E1
// ports), clients coming and going on every port, replies in random pieces,
// unplug/replug with renumbering, interfaces renamed behind its back,
// SIGHUP bursts, and hostile bytes from clients and from the controller.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"
#include "lab/port_client.h"
#include "lab/rig_test.h"

namespace {

using namespace std::chrono_literals;
using lab::Ms;

int Cycles() {
  const char* env = getenv("E1_SOAK_CYCLES");
  return env != nullptr ? atoi(env) : 8;
}

size_t CountEntries(const std::string& dir) {
  return lab::ListDirectory(dir).size();
}

long RssKb(pid_t pid) {
  std::string status = lab::ReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

// Answers every "CMD:port E1.n text" with "ACK:E1.n:text", written in random
// pieces from a thread of its own so the daemon must assemble them.
class PieceResponder {
 public:
  explicit PieceResponder(lab::SimController* sim, unsigned seed) : sim_(sim), rng_(seed) {
    sim_->SetReplyRule([this](const std::string& line) -> std::optional<std::string> {
      int port = 0;
      std::string text;
      if (lab::ParseCommandLine(line, &port, &text)) {
        std::lock_guard<std::mutex> lock(mu_);
        queue_.push_back("ACK:E1." + std::to_string(port) + ":" + text + "\n");
        cv_.notify_one();
      }
      return std::nullopt;
    });
    thread_ = std::thread([this] { Loop(); });
  }
  // Waits until every queued reply has been sent.
  bool Drain(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    return idleCv_.wait_for(lock, timeout, [this] { return queue_.empty() && !sending_; });
  }

  ~PieceResponder() {
    sim_->SetReplyRule(nullptr);
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      std::string reply = std::move(queue_.front());
      queue_.pop_front();
      sending_ = true;
      lock.unlock();
      std::vector<std::string> pieces;
      while (!reply.empty()) {
        size_t n = std::uniform_int_distribution<size_t>(1, reply.size())(rng_);
        pieces.push_back(reply.substr(0, n));
        reply.erase(0, n);
      }
      sim_->SendPieces(pieces, 1ms);
      lock.lock();
      sending_ = false;
      if (queue_.empty()) idleCv_.notify_all();
    }
  }

  lab::SimController* sim_;
  std::mt19937 rng_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::condition_variable idleCv_;
  std::deque<std::string> queue_;
  bool stop_ = false;
  bool sending_ = false;
  std::thread thread_;
};

class Soak : public lab::RigTest {
 protected:
  void SetUp() override {
    rig.ForgetInterfaces({"moved"});
    for (const char* n : {"s0p0", "s1p0", "s1p1"}) rig.AddVethPair(n);

    lab::ControllerSpec one;  // one E1 port
    one.hub = "1-1";
    one.pairs = {lab::EthFunction::NoNetDir()};
    lab::ControllerSpec two;  // two E1 ports
    two.pid = lab::kTwoPortPid;
    two.hub = "2-1";
    two.pairs = {lab::EthFunction::NoNetDir(), lab::EthFunction::NoNetDir()};
    for (const lab::ControllerSpec& model : {one, two}) {
      lab::UartSpec uart;
      uart.ttyName = "ttyACM" + std::to_string(rig.Controllers());
      rig.AddController(model, uart);
    }
    rig.TrackPair(0, 0, "s0p0");
    rig.TrackPair(1, 0, "s1p0");
    rig.TrackPair(1, 1, "s1p1");
    for (size_t i = 0; i < rig.Controllers(); ++i) {
      responders_.push_back(std::make_unique<PieceResponder>(&Sim(i), 17u + i));
    }
    ports_ = {{0, 0}, {1, 0}, {1, 1}};  // (controller, port)
  }

  // The responders go before the rig's simulators.
  void TearDown() override { responders_.clear(); }

  void StartDaemon(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-n"};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_NO_FATAL_FAILURE(StartServing(args));
  }

  std::string Socket(size_t k) { return PortPath(ports_[k].second, ports_[k].first); }

  // Connects to port k, sends `block` and checks that every command's reply
  // comes back to this client, and only those.
  void RoundTrip(size_t k, const std::vector<std::string>& commands) {
    lab::PortClient client;
    ASSERT_TRUE(client.ConnectWithin(Socket(k), Ms(3000))) << Socket(k);
    std::string block;
    for (const auto& c : commands) block += c + ";";
    ASSERT_TRUE(client.Send(block + "\n"));
    for (const auto& c : commands) {
      auto line = client.ReadLine(Ms(3000));
      ASSERT_TRUE(line.has_value()) << "no reply for " << c << " on port " << k;
      EXPECT_EQ(*line, c + "\n");
    }
    EXPECT_EQ(client.ReadFor(50ms), "");
  }

  // The lines of the last block of port k, as the controller receives them.
  std::string WireBlock(size_t k, const std::vector<std::string>& commands) const {
    std::string wire;
    for (const auto& c : commands) {
      wire += "CMD:port E1." + std::to_string(ports_[k].second) + " " + c + "\n";
    }
    return wire;
  }

  size_t OpenFds() { return CountEntries("/proc/" + std::to_string(Daemon().Pid()) + "/fd"); }
  size_t Threads() { return CountEntries("/proc/" + std::to_string(Daemon().Pid()) + "/task"); }

  std::vector<std::unique_ptr<PieceResponder>> responders_;
  std::vector<std::pair<int, int>> ports_;
};

TEST_F(Soak, ClientsReplugsRenamesAndSignalsLeaveNothingBehind) {
  StartDaemon();
  std::vector<std::vector<std::string>> last(ports_.size());
  auto blockFor = [](int cycle, size_t k) {
    std::vector<std::string> b;
    b.reserve(4);
    for (int j = 0; j < 1 + (cycle + static_cast<int>(k)) % 4; ++j) {
      b.push_back("c" + std::to_string(cycle) + "p" + std::to_string(k) + "n" + std::to_string(j));
    }
    return b;
  };
  // Warm up once so the figures below are those of a daemon in service.
  for (size_t k = 0; k < ports_.size(); ++k) {
    last[k] = blockFor(0, k);
    RoundTrip(k, last[k]);
  }
  std::this_thread::sleep_for(300ms);
  const size_t fds = OpenFds(), threads = Threads();
  const long rss = RssKb(Daemon().Pid());

  int acm = 2;
  for (int cycle = 1; cycle <= Cycles(); ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    // Clients on every port at once.
    std::vector<std::thread> clients;
    for (size_t k = 0; k < ports_.size(); ++k) {
      last[k] = blockFor(cycle, k);
      clients.emplace_back([this, k, &last] { RoundTrip(k, last[k]); });
    }
    for (auto& t : clients) t.join();
    if (HasFatalFailure()) return;

    // A burst of SIGHUP changes nothing.
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(Daemon().Signal(SIGHUP));

    // Unplug both, replug as other numbers: every last block comes again.
    for (size_t i = 0; i < rig.Controllers(); ++i) {
      Sim(i).Unplug();
      Sim(i).ClearReceived();
    }
    std::this_thread::sleep_for(50ms);
    for (size_t i = 0; i < rig.Controllers(); ++i) Sim(i).Plug(acm++ % 40);
    for (size_t k = 0; k < ports_.size(); ++k) {
      const std::string wire = WireBlock(k, last[k]);
      ASSERT_TRUE(Sim(ports_[k].first).WaitForSubstring(wire, Ms(2000)))
          << "block of port " << k << " not replayed whole; got:\n"
          << Sim(ports_[k].first).Received();
    }
    // The controller answers the replayed commands too; with no client on
    // the ports those answers are dropped, and must not reach the next ones.
    for (auto& r : responders_) ASSERT_TRUE(r->Drain(Ms(5000)));
    std::this_thread::sleep_for(50ms);

    // Every few cycles an interface is renamed behind the daemon's back.
    if (cycle % 3 == 0) {
      ASSERT_TRUE(Daemon().Signal(SIGSTOP));
      lab::RenameInterface("s1p1", "moved");
      rig.Net().SyncNow();
      ASSERT_TRUE(Daemon().Signal(SIGCONT));
      ASSERT_TRUE(lab::WaitUntil([] { return lab::InterfaceExists("s1p1"); }, Ms(2000)))
          << Daemon().Output();
    }
  }

  // Still serving, and back to the same descriptors, threads and memory.
  for (size_t k = 0; k < ports_.size(); ++k) RoundTrip(k, {"final" + std::to_string(k)});
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(OpenFds(), fds);
  EXPECT_EQ(Threads(), threads);
#ifndef E1_SANITIZER_BUILD
  EXPECT_LE(RssKb(Daemon().Pid()), rss + 256) << "resident memory grew";
#else
  (void)rss;
#endif
  ASSERT_TRUE(Daemon().Signal(SIGTERM));
  EXPECT_EQ(Daemon().WaitExit(Ms(3000)), lab::ExitStatus::Exited(0)) << Daemon().Output();
}

TEST_F(Soak, HostileClientsDoNotDisturbTheOtherPorts) {
  StartDaemon();
  std::mt19937 rng(5);

  // Random bytes with NULs, then a megabyte in one go, on port 0: commands
  // too long for a line are dropped, the others go out as whole lines.
  {
    lab::PortClient noisy;
    ASSERT_TRUE(noisy.ConnectWithin(Socket(0), Ms(3000)));
    std::string junk(16 * 1024, '\0');
    for (char& ch : junk) ch = static_cast<char>(rng());
    ASSERT_TRUE(noisy.Send(junk + "\n"));
    ASSERT_TRUE(noisy.Send(std::string(1 << 20, 'M') + "\n"));
    // Stay until the daemon has forwarded what it read: data a client
    // leaves unread when it hangs up goes with the connection.
    std::string before;
    do {
      before = Sim(0).Received();
      std::this_thread::sleep_for(300ms);
    } while (Sim(0).Received().size() != before.size());
    // Under this flood the controller side filled up again and again; every
    // line on the wire is still one whole command line of this port.
    std::string wire = Sim(0).Received();
    for (size_t at = 0; at < wire.size();) {
      size_t end = wire.find('\n', at);
      ASSERT_NE(end, std::string::npos) << wire.substr(at, 40);
      ASSERT_EQ(wire.compare(at, 14, "CMD:port E1.0 "), 0) << wire.substr(at, 40);
      ASSERT_LE(end - at, 4 + 125u) << wire.substr(at, 40);
      at = end + 1;
    }
    RoundTrip(1, {"meanwhile1"});
    RoundTrip(2, {"meanwhile2"});
    // Replies to the noise are still on their way; they belong to this
    // client, not to the next one on the port.
    ASSERT_TRUE(responders_[0]->Drain(Ms(20000)));
    noisy.ReadFor(300ms);
  }
  // The next client of the port is served as before the noise.
  {
    lab::PortClient flush;
    ASSERT_TRUE(flush.ConnectWithin(Socket(0), Ms(3000)));
    ASSERT_TRUE(flush.Send("flush\n"));
    ASSERT_TRUE(Sim(0).WaitForSubstring("CMD:port E1.0 flush\n", Ms(3000)));
    ASSERT_TRUE(responders_[0]->Drain(Ms(5000)));
    flush.ReadFor(300ms);
  }

  // Ten thousand connect-and-close clients, alternating between a port and
  // the auxiliary socket. Non-blocking connects: most find the one-place
  // queue taken or nobody listening while the socket is recreated.
  int accepted = 0;
  for (int i = 0; i < 10000; ++i) {
    std::string path = i % 2 ? Socket(2) : AuxPath(1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) ++accepted;
    close(fd);
    if (i % 500 == 0) std::this_thread::sleep_for(20ms);  // let some be accepted
  }
  EXPECT_GT(accepted, 0);

  // Half-closed clients: the port client still gets its replies; the
  // auxiliary socket comes back for the next client.
  {
    lab::PortClient half;
    ASSERT_TRUE(half.ConnectWithin(Socket(1), Ms(3000)));
    ASSERT_TRUE(half.Send("halfway\n"));
    ASSERT_TRUE(half.ShutdownWrite());
    auto line = half.ReadLine(Ms(3000));
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(*line, "halfway\n");
    lab::PortClient aux;
    ASSERT_TRUE(aux.ConnectWithin(AuxPath(0), Ms(3000)));
    ASSERT_TRUE(aux.ShutdownWrite());
    aux.Close();
    lab::PortClient aux2;
    EXPECT_TRUE(aux2.ConnectWithin(AuxPath(0), Ms(3000)));
  }

  for (size_t k = 0; k < ports_.size(); ++k) RoundTrip(k, {"after" + std::to_string(k)});
}

TEST_F(Soak, ControllerNoiseAndOverlongLinesAreContained) {
  StartDaemon();
  lab::PortClient client;
  ASSERT_TRUE(client.ConnectWithin(Socket(1), Ms(3000)));
  ASSERT_TRUE(client.Send("hello\n"));
  ASSERT_EQ(client.ReadLine(Ms(3000)).value_or(""), "hello\n");

  // Binary noise without line ends, a 100 KB line, then an ordinary reply.
  std::mt19937 rng(9);
  std::string noise(32 * 1024, '\0');
  for (char& ch : noise) {
    ch = static_cast<char>(rng());
    if (ch == '\n') ch = 'n';
  }
  ASSERT_TRUE(Sim(1).Send(noise));
  ASSERT_TRUE(Sim(1).Send("\n" + std::string(100 * 1024, 'L') + "\n"));
  ASSERT_TRUE(Sim(1).Send("ACK:E1.0:" + std::string(600, 'x') + "\n"));
  ASSERT_TRUE(Sim(1).Send("ACK:E1.0:after-noise\n"));
  std::string cut(511 - 9, 'x');  // what fits after the tag in 511 characters
  ASSERT_TRUE(client.ReadUntil(cut + "after-noise\n", Ms(3000))) << client.Buffer();
  EXPECT_EQ(client.Buffer(), cut + "after-noise\n");

  // The other controller never noticed.
  RoundTrip(0, {"calm"});
}

}  // namespace
