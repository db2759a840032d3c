#include "lab/sim_controller.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "lab/fake_usb.h"
#include "lab/fs.h"

namespace lab {

bool ParseCommandLine(const std::string& line, int* port, std::string* text) {
  static const std::string kPrefix = "CMD:port E1.";
  if (line.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  size_t pos = kPrefix.size();
  if (pos >= line.size() || line[pos] < '0' || line[pos] > '9') return false;
  int n = 0;
  while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9')
    n = n * 10 + (line[pos++] - '0');
  if (pos < line.size() && line[pos] != ' ') return false;
  *port = n;
  *text = pos < line.size() ? line.substr(pos + 1) : "";
  return true;
}

ReplyRule AckReplyRule() {
  return FormatReplyRule("ACK:E1.%p:%t");
}

ReplyRule FormatReplyRule(const std::string& format) {
  return [format](const std::string& line) -> std::optional<std::string> {
    int port;
    std::string text;
    if (!ParseCommandLine(line, &port, &text)) return std::nullopt;
    std::string out;
    for (size_t i = 0; i < format.size(); ++i) {
      if (format[i] != '%' || i + 1 == format.size()) {
        out += format[i];
        continue;
      }
      switch (format[++i]) {
        case 'p':
          out += std::to_string(port);
          break;
        case 't':
          out += text;
          break;
        case 'l':
          out += line;
          break;
        case '%':
          out += '%';
          break;
        default:
          out += '%';
          out += format[i];
      }
    }
    return out + "\n";
  };
}

ReplyRule EchoReplyRule() {
  return [](const std::string& line) -> std::optional<std::string> { return line + "\n"; };
}

SimController::SimController(Options opts) : opts_(std::move(opts)), rule_(opts_.reply) {
  if (opts_.usb != nullptr && opts_.iface.empty()) {
    throw std::invalid_argument("SimController: a sysfs entry needs the interface name");
  }
  Plug(opts_.ttyName);
}

SimController::~SimController() {
  try {
    Unplug();
  } catch (...) {
    // The sysfs tree may already be gone; the descriptors are closed anyway.
  }
}

bool SimController::Plugged() const {
  std::lock_guard<std::mutex> lock(ioMu_);
  return master_ >= 0;
}

std::string SimController::TtyName() const {
  std::lock_guard<std::mutex> lock(ioMu_);
  return ttyName_;
}

std::string SimController::SlavePath() const {
  std::lock_guard<std::mutex> lock(ioMu_);
  return slavePath_;
}

std::string SimController::DevicePath() const {
  std::lock_guard<std::mutex> lock(ioMu_);
  return linkPath_;
}

void SimController::Plug(const std::string& ttyName) {
  std::lock_guard<std::mutex> lock(ioMu_);
  if (master_ >= 0) throw std::logic_error("SimController: already plugged");
  int master = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master < 0) throw std::runtime_error(std::string("open /dev/ptmx: ") + strerror(errno));
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    int err = errno;
    close(master);
    throw std::runtime_error(std::string("pty set-up: ") + strerror(err));
  }
  int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    int err = errno;
    close(master);
    throw std::runtime_error(std::string("open ") + name + ": " + strerror(err));
  }
  if (opts_.rawSlave) {
    struct termios t;
    if (tcgetattr(slave, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(slave, TCSANOW, &t);
    }
  }
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    int err = errno;
    close(slave);
    close(master);
    throw std::runtime_error(std::string("pipe2: ") + strerror(err));
  }
  master_ = master;
  slave_ = slave;
  slavePath_ = name;
  ttyName_ = ttyName;
  if (!opts_.linkPath.empty()) {
    linkPath_ = opts_.linkPath;
  } else if (!opts_.devDir.empty()) {
    linkPath_ = opts_.devDir + "/" + ttyName;
  } else {
    linkPath_.clear();
  }
  // Device node first, then the sysfs entry: once the daemon sees the name
  // in sysfs the node is there to open.
  if (!linkPath_.empty()) MakeSymlink(slavePath_, linkPath_);
  if (opts_.usb != nullptr) opts_.usb->AddTty(opts_.iface, ttyName);
  reader_ = std::thread(&SimController::ReaderLoop, this, master_, wake_[0]);
}

void SimController::StopReader() {
  if (!reader_.joinable()) return;
  char c = 'x';
  ssize_t ignored = write(wake_[1], &c, 1);
  (void)ignored;
  reader_.join();
}

void SimController::KeepPendingOnUnplug(bool keep) {
  std::lock_guard<std::mutex> lock(paceMu_);
  keepPending_ = keep;
}

// Reads the master dry and records the bytes as received; a line left
// without its line feed is recorded as cut, so that the next pty's bytes
// do not join it. These lines get no reply: the line is going away, and
// the reply would need ioMu_, held here. Requires: ioMu_ held, the reader stopped, plugged.
void SimController::TakePending() {
  char buf[4096];
  for (;;) {
    ssize_t n = read(master_, buf, sizeof buf);
    if (n > 0) {
      HandleBytes(buf, static_cast<size_t>(n), false);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // EAGAIN: nothing more pending (the master is non-blocking)
  }
  std::lock_guard<std::mutex> lock(dataMu_);
  if (!partial_.empty()) {
    lines_.push_back({partial_, std::chrono::steady_clock::now(), true});
    partial_.clear();
  }
}

void SimController::Unplug() {
  StopReader();
  bool keep = false;
  {
    std::lock_guard<std::mutex> lock(paceMu_);
    keep = keepPending_;
  }
  std::lock_guard<std::mutex> lock(ioMu_);
  if (master_ < 0) return;
  std::string err;
  try {
    if (opts_.usb != nullptr) opts_.usb->RemoveTty(opts_.iface, ttyName_);
    if (!linkPath_.empty()) RemoveTree(linkPath_);
  } catch (const std::exception& e) {
    err = e.what();
  }
  // After the names are gone the daemon cannot open the line again; what
  // it still writes before the close below is taken here too.
  if (keep) TakePending();
  close(master_);
  close(slave_);
  close(wake_[0]);
  close(wake_[1]);
  master_ = slave_ = -1;
  wake_[0] = wake_[1] = -1;
  if (!err.empty()) throw std::runtime_error("SimController::Unplug: " + err);
}

bool SimController::WriteAll(std::string_view bytes) {
  std::lock_guard<std::mutex> lock(ioMu_);
  if (master_ < 0) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    struct pollfd p = {master_, POLLOUT, 0};
    poll(&p, 1, 10);
  }
  return true;
}

bool SimController::Send(std::string_view bytes) {
  return WriteAll(bytes);
}

bool SimController::SendPieces(const std::vector<std::string>& pieces,
                               std::chrono::milliseconds gap) {
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(gap);
    if (!WriteAll(pieces[i])) return false;
  }
  return true;
}

void SimController::SetReplyRule(ReplyRule rule) {
  std::lock_guard<std::mutex> lock(dataMu_);
  rule_ = std::move(rule);
}

void SimController::StopReading() {
  std::lock_guard<std::mutex> lock(paceMu_);
  readingStopped_ = true;
  ++paceChanges_;
}

void SimController::ResumeReading() {
  std::lock_guard<std::mutex> lock(paceMu_);
  readingStopped_ = false;
  ++paceChanges_;
}

void SimController::SetReadRate(size_t bytesPerSecond) {
  std::lock_guard<std::mutex> lock(paceMu_);
  readRate_ = bytesPerSecond;
  ++paceChanges_;
}

void SimController::ReaderLoop(int master, int wakeFd) {
  using Clock = std::chrono::steady_clock;
  char buf[4096];
  unsigned seenChanges = ~0u;
  Clock::time_point rateStart;
  size_t rateBytes = 0;  // read since rateStart
  for (;;) {
    // How much the pace allows now: nothing while stopped, what the rate
    // has earned since it was set (at most a tenth of a second's worth
    // saved up), or a full buffer.
    size_t allowed = sizeof buf;
    {
      std::lock_guard<std::mutex> lock(paceMu_);
      auto now = Clock::now();
      if (seenChanges != paceChanges_) {
        seenChanges = paceChanges_;
        rateStart = now;
        rateBytes = 0;
      }
      if (readingStopped_) {
        allowed = 0;
      } else if (readRate_ > 0) {
        double seconds = std::chrono::duration<double>(now - rateStart).count();
        size_t earned = static_cast<size_t>(seconds * static_cast<double>(readRate_));
        size_t floor = earned > readRate_ / 10 ? earned - readRate_ / 10 : 0;
        if (rateBytes < floor) rateBytes = floor;
        allowed = std::min(earned - rateBytes, sizeof buf);
      }
    }
    struct pollfd p[2] = {{allowed > 0 ? master : -1, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int pr = poll(p, 2, allowed > 0 ? 1000 : 5);
    if (pr < 0 && errno == EINTR) continue;
    if (pr < 0) return;
    if (p[1].revents != 0) return;
    if (p[0].revents & POLLIN) {
      ssize_t n = read(master, buf, allowed);
      if (n > 0) {
        rateBytes += static_cast<size_t>(n);
        HandleBytes(buf, static_cast<size_t>(n));
        continue;
      }
    }
    if (p[0].revents & (POLLHUP | POLLERR)) {
      // Only while no slave is open at all; ours always is, but never spin.
      poll(nullptr, 0, 10);
    }
  }
}

void SimController::HandleBytes(const char* data, size_t len, bool answer) {
  auto now = std::chrono::steady_clock::now();
  std::vector<std::string> complete;
  ReplyRule rule;
  {
    std::lock_guard<std::mutex> lock(dataMu_);
    bytes_.append(data, len);
    for (size_t i = 0; i < len; ++i) {
      if (data[i] == '\n') {
        lines_.push_back({partial_, now});
        complete.push_back(partial_);
        partial_.clear();
      } else {
        partial_ += data[i];
      }
    }
    rule = rule_;
  }
  dataCv_.notify_all();
  if (!rule || !answer) return;
  for (const std::string& line : complete) {
    std::optional<std::string> reply = rule(line);
    if (reply) WriteAll(*reply);
  }
}

std::string SimController::Received() const {
  std::lock_guard<std::mutex> lock(dataMu_);
  return bytes_;
}

std::vector<ReceivedLine> SimController::Lines() const {
  std::lock_guard<std::mutex> lock(dataMu_);
  return lines_;
}

std::vector<std::string> SimController::LineTexts() const {
  std::lock_guard<std::mutex> lock(dataMu_);
  std::vector<std::string> out;
  for (const ReceivedLine& l : lines_) out.push_back(l.text);
  return out;
}

void SimController::ClearReceived() {
  std::lock_guard<std::mutex> lock(dataMu_);
  bytes_.clear();
  partial_.clear();
  lines_.clear();
}

bool SimController::WaitForLines(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(dataMu_);
  return dataCv_.wait_for(lock, timeout, [&] { return lines_.size() >= count; });
}

bool SimController::WaitForSubstring(std::string_view needle,
                                     std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(dataMu_);
  return dataCv_.wait_for(lock, timeout, [&] { return bytes_.find(needle) != std::string::npos; });
}

std::optional<struct termios> SimController::GetTermios() const {
  std::lock_guard<std::mutex> lock(ioMu_);
  struct termios t;
  if (slave_ < 0 || tcgetattr(slave_, &t) != 0) return std::nullopt;
  return t;
}

bool SimController::SetTermios(const struct termios& t) {
  std::lock_guard<std::mutex> lock(ioMu_);
  return slave_ >= 0 && tcsetattr(slave_, TCSANOW, &t) == 0;
}

}  // namespace lab
