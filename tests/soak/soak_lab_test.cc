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

namespace {

using namespace std::chrono_literals;

int Cycles() {
  const char* env = getenv("E1_SOAK_CYCLES");
  return env != nullptr ? atoi(env) : 8;
}

std::string PortSocket(const std::string& iface, int port) {
  return "/var/run/E1controllers/G703G704_phy" + std::to_string(port) + "_at_ttyctrl_" + iface;
}
std::string AuxSocket(const std::string& iface) {
  return "/var/run/E1controllers/G703G704_AUX_PIPE_" + iface;
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

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    lab::ResetSandbox();
    for (const char* n : {"s0p0", "s1p0", "s1p1", "moved"}) lab::DeleteInterface(n);
    for (const char* n : {"s0p0", "s1p0", "s1p1"}) lab::CreateVethPair(n, std::string(n) + "x");
    follower_ = std::make_unique<lab::NetFollower>();

    lab::ControllerSpec one;  // one E1 port
    one.hub = "1-1";
    one.ttyNames = {"ttyACM0"};
    one.pairs = {lab::EthFunction::NoNetDir()};
    lab::ControllerSpec two;  // two E1 ports
    two.pid = 0x0005;
    two.hub = "2-1";
    two.ttyNames = {"ttyACM1"};
    two.pairs = {lab::EthFunction::NoNetDir(), lab::EthFunction::NoNetDir()};
    layouts_ = {usb_.AddController(one), usb_.AddController(two)};
    follower_->Track(usb_.NetDir(layouts_[0].pairDevs[0] + ":1.0"), "s0p0");
    follower_->Track(usb_.NetDir(layouts_[1].pairDevs[0] + ":1.0"), "s1p0");
    follower_->Track(usb_.NetDir(layouts_[1].pairDevs[1] + ":1.0"), "s1p1");
    for (int i = 0; i < 2; ++i) {
      lab::SimController::Options o;
      o.usb = &usb_;
      o.iface = layouts_[i].ctlIf;
      o.ttyName = "ttyACM" + std::to_string(i);
      sims_.push_back(std::make_unique<lab::SimController>(o));
      responders_.push_back(std::make_unique<PieceResponder>(sims_.back().get(), 17u + i));
    }
    ports_ = {{0, 0}, {1, 0}, {1, 1}};  // (controller, port)
  }

  void TearDown() override {
    daemon_.reset();
    responders_.clear();
    sims_.clear();
    follower_.reset();
    for (const char* n : {"s0p0", "s1p0", "s1p1", "moved"}) lab::DeleteInterface(n);
  }

  void StartDaemon(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-n"};
    args.insert(args.end(), extra.begin(), extra.end());
    daemon_ = std::make_unique<lab::DaemonProcess>(args);
    for (auto [c, p] : ports_) {
      const std::string path = PortSocket(layouts_[c].ctlIf, p);
      ASSERT_TRUE(lab::WaitUntil([&] { return lab::Exists(path); }, 5s)) << daemon_->Output();
    }
  }

  std::string Socket(size_t k) const {
    return PortSocket(layouts_[ports_[k].first].ctlIf, ports_[k].second);
  }

  // Connects to port k, sends `block` and checks that every command's reply
  // comes back to this client, and only those.
  void RoundTrip(size_t k, const std::vector<std::string>& commands) {
    lab::PortClient client;
    ASSERT_TRUE(client.ConnectWithin(Socket(k), 3s)) << Socket(k);
    std::string block;
    for (const auto& c : commands) block += c + ";";
    ASSERT_TRUE(client.Send(block + "\n"));
    for (const auto& c : commands) {
      auto line = client.ReadLine(3s);
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

  size_t OpenFds() const { return CountEntries("/proc/" + std::to_string(daemon_->Pid()) + "/fd"); }
  size_t Threads() const {
    return CountEntries("/proc/" + std::to_string(daemon_->Pid()) + "/task");
  }

  lab::FakeUsb usb_;
  std::vector<lab::ControllerLayout> layouts_;
  std::unique_ptr<lab::NetFollower> follower_;
  std::vector<std::unique_ptr<lab::SimController>> sims_;
  std::vector<std::unique_ptr<PieceResponder>> responders_;
  std::vector<std::pair<int, int>> ports_;
  std::unique_ptr<lab::DaemonProcess> daemon_;
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
  const long rss = RssKb(daemon_->Pid());

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
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(daemon_->Signal(SIGHUP));

    // Unplug both, replug as other numbers: every last block comes again.
    for (auto& sim : sims_) {
      sim->Unplug();
      sim->ClearReceived();
    }
    std::this_thread::sleep_for(50ms);
    for (auto& sim : sims_) sim->Plug(acm++ % 40);
    for (size_t k = 0; k < ports_.size(); ++k) {
      const std::string wire = WireBlock(k, last[k]);
      ASSERT_TRUE(sims_[ports_[k].first]->WaitForSubstring(wire, 2s))
          << "block of port " << k << " not replayed whole; got:\n"
          << sims_[ports_[k].first]->Received();
    }
    // The controller answers the replayed commands too; with no client on
    // the ports those answers are dropped, and must not reach the next ones.
    for (auto& r : responders_) ASSERT_TRUE(r->Drain(5s));
    std::this_thread::sleep_for(50ms);

    // Every few cycles an interface is renamed behind the daemon's back.
    if (cycle % 3 == 0) {
      ASSERT_TRUE(daemon_->Signal(SIGSTOP));
      lab::RenameInterface("s1p1", "moved");
      follower_->SyncNow();
      ASSERT_TRUE(daemon_->Signal(SIGCONT));
      ASSERT_TRUE(lab::WaitUntil([] { return lab::InterfaceExists("s1p1"); }, 2s))
          << daemon_->Output();
    }
  }

  // Still serving, and back to the same descriptors, threads and memory.
  for (size_t k = 0; k < ports_.size(); ++k) RoundTrip(k, {"final" + std::to_string(k)});
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(OpenFds(), fds);
  EXPECT_EQ(Threads(), threads);
#ifndef E1_SANITIZER_BUILD
  EXPECT_LE(RssKb(daemon_->Pid()), rss + 256) << "resident memory grew";
#else
  (void)rss;
#endif
  ASSERT_TRUE(daemon_->Signal(SIGTERM));
  EXPECT_EQ(daemon_->WaitExit(3s), lab::ExitStatus::Exited(0)) << daemon_->Output();
}

TEST_F(Soak, HostileClientsDoNotDisturbTheOtherPorts) {
  StartDaemon();
  std::mt19937 rng(5);

  // Random bytes with NULs, then a megabyte in one go, on port 0. Text
  // without separators goes out as cut lines that only the final line end
  // terminates, so each burst ends with one.
  {
    lab::PortClient noisy;
    ASSERT_TRUE(noisy.ConnectWithin(Socket(0), 3s));
    std::string junk(16 * 1024, '\0');
    for (char& ch : junk) ch = static_cast<char>(rng());
    ASSERT_TRUE(noisy.Send(junk + "\n"));
    ASSERT_TRUE(noisy.Send(std::string(1 << 20, 'M') + "\n"));
    // Stay until the daemon has forwarded what it read: data a client
    // leaves unread when it hangs up goes with the connection.
    std::string before;
    do {
      before = sims_[0]->Received();
      std::this_thread::sleep_for(300ms);
    } while (sims_[0]->Received().size() != before.size());
    // Under this flood the controller side filled up again and again; no
    // command text may have been lost there: every "CMD:" starts a whole
    // command line of this port.
    std::string wire = sims_[0]->Received();
    for (size_t at = wire.find("CMD:"); at != std::string::npos; at = wire.find("CMD:", at + 4)) {
      ASSERT_EQ(wire.compare(at, 14, "CMD:port E1.0 "), 0) << wire.substr(at, 40);
    }
    RoundTrip(1, {"meanwhile1"});
    RoundTrip(2, {"meanwhile2"});
    // Replies to the noise are still on their way; they belong to this
    // client, not to the next one on the port.
    ASSERT_TRUE(responders_[0]->Drain(20s));
    noisy.ReadFor(300ms);
  }
  // Text without separators went out as cut lines that nothing terminated;
  // the next command ends that line on the controller's side, and the
  // replies to the garbled line go to this client.
  {
    lab::PortClient flush;
    ASSERT_TRUE(flush.ConnectWithin(Socket(0), 3s));
    ASSERT_TRUE(flush.Send("flush\n"));
    ASSERT_TRUE(sims_[0]->WaitForSubstring("CMD:port E1.0 flush\n", 3s));
    ASSERT_TRUE(responders_[0]->Drain(5s));
    flush.ReadFor(300ms);
  }

  // Ten thousand connect-and-close clients, alternating between a port and
  // the auxiliary socket. Non-blocking connects: most find the one-place
  // queue taken or nobody listening while the socket is recreated.
  int accepted = 0;
  for (int i = 0; i < 10000; ++i) {
    std::string path = i % 2 ? Socket(2) : AuxSocket(layouts_[1].ctlIf);
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
    ASSERT_TRUE(half.ConnectWithin(Socket(1), 3s));
    ASSERT_TRUE(half.Send("halfway\n"));
    ASSERT_TRUE(half.ShutdownWrite());
    auto line = half.ReadLine(3s);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(*line, "halfway\n");
    lab::PortClient aux;
    ASSERT_TRUE(aux.ConnectWithin(AuxSocket(layouts_[0].ctlIf), 3s));
    ASSERT_TRUE(aux.ShutdownWrite());
    aux.Close();
    lab::PortClient aux2;
    EXPECT_TRUE(aux2.ConnectWithin(AuxSocket(layouts_[0].ctlIf), 3s));
  }

  for (size_t k = 0; k < ports_.size(); ++k) RoundTrip(k, {"after" + std::to_string(k)});
}

TEST_F(Soak, ControllerNoiseAndOverlongLinesAreContained) {
  StartDaemon();
  lab::PortClient client;
  ASSERT_TRUE(client.ConnectWithin(Socket(1), 3s));
  ASSERT_TRUE(client.Send("hello\n"));
  ASSERT_EQ(client.ReadLine(3s).value_or(""), "hello\n");

  // Binary noise without line ends, a 100 KB line, then an ordinary reply.
  std::mt19937 rng(9);
  std::string noise(32 * 1024, '\0');
  for (char& ch : noise) {
    ch = static_cast<char>(rng());
    if (ch == '\n') ch = 'n';
  }
  ASSERT_TRUE(sims_[1]->Send(noise));
  ASSERT_TRUE(sims_[1]->Send("\n" + std::string(100 * 1024, 'L') + "\n"));
  ASSERT_TRUE(sims_[1]->Send("ACK:E1.0:" + std::string(600, 'x') + "\n"));
  ASSERT_TRUE(sims_[1]->Send("ACK:E1.0:after-noise\n"));
  std::string cut(511 - 9, 'x');  // what fits after the tag in 511 characters
  ASSERT_TRUE(client.ReadUntil(cut + "after-noise\n", 3s)) << client.Buffer();
  EXPECT_EQ(client.Buffer(), cut + "after-noise\n");

  // The other controller never noticed.
  RoundTrip(0, {"calm"});
}

}  // namespace
