#include "lab/port_client.h"

#include <errno.h>
#include <linux/sockios.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace lab {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

PortClient::~PortClient() {
  Close();
}

PortClient::PortClient(PortClient&& other) noexcept
    : fd_(other.fd_), eof_(other.eof_), buf_(std::move(other.buf_)) {
  other.fd_ = -1;
}

PortClient& PortClient::operator=(PortClient&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    eof_ = other.eof_;
    buf_ = std::move(other.buf_);
    other.fd_ = -1;
  }
  return *this;
}

int PortClient::Connect(const std::string& path) {
  Close();
  eof_ = false;
  buf_.clear();
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    close(fd);
    return err;
  }
  fd_ = fd;
  return 0;
}

bool PortClient::ConnectWithin(const std::string& path, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (Connect(path) == 0) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool PortClient::Send(std::string_view bytes) {
  if (fd_ < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool PortClient::SendUrgent(char byte) {
  return fd_ >= 0 && send(fd_, &byte, 1, MSG_OOB | MSG_NOSIGNAL) == 1;
}

int PortClient::Unread() const {
  int n = -1;
  if (fd_ < 0 || ioctl(fd_, SIOCOUTQ, &n) != 0) return -1;
  return n;
}

bool PortClient::ShutdownWrite() {
  return fd_ >= 0 && shutdown(fd_, SHUT_WR) == 0;
}

void PortClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

long PortClient::ReadOnce(int waitMs) {
  if (fd_ < 0 || eof_) return 0;
  struct pollfd p = {fd_, POLLIN, 0};
  int pr = poll(&p, 1, waitMs);
  if (pr < 0 && errno == EINTR) return -1;
  if (pr <= 0) return -1;
  char chunk[4096];
  ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return -1;
  if (n <= 0) {
    eof_ = true;  // end of file, or the connection was reset
    return 0;
  }
  buf_.append(chunk, static_cast<size_t>(n));
  return n;
}

std::string PortClient::ReadFor(std::chrono::milliseconds quiet) {
  size_t start = buf_.size();
  int waitMs = static_cast<int>(quiet.count());
  while (ReadOnce(waitMs) > 0) {
  }
  return buf_.substr(start);
}

std::string PortClient::ReadDuring(std::chrono::milliseconds span) {
  size_t start = buf_.size();
  auto deadline = Clock::now() + span;
  while (fd_ >= 0 && !eof_ && Clock::now() < deadline) ReadOnce(MsLeft(deadline));
  return buf_.substr(start);
}

bool PortClient::ReadUntil(std::string_view needle, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (buf_.find(needle) == std::string::npos) {
    if (Clock::now() >= deadline || ReadOnce(MsLeft(deadline)) == 0) {
      return buf_.find(needle) != std::string::npos;
    }
  }
  return true;
}

bool PortClient::ReadAtLeast(size_t count, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (buf_.size() < count) {
    if (Clock::now() >= deadline || ReadOnce(MsLeft(deadline)) == 0) return buf_.size() >= count;
  }
  return true;
}

bool PortClient::ReadLines(size_t count, std::chrono::milliseconds timeout) {
  auto lines = [this] { return static_cast<size_t>(std::count(buf_.begin(), buf_.end(), '\n')); };
  auto deadline = Clock::now() + timeout;
  while (lines() < count) {
    if (Clock::now() >= deadline || ReadOnce(MsLeft(deadline)) == 0) return lines() >= count;
  }
  return true;
}

std::optional<std::string> PortClient::ReadLine(std::chrono::milliseconds timeout) {
  if (!ReadUntil("\n", timeout)) return std::nullopt;
  size_t end = buf_.find('\n') + 1;
  std::string line = buf_.substr(0, end);
  buf_.erase(0, end);
  return line;
}

bool PortClient::WaitForEof(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!eof_) {
    if (fd_ < 0 || Clock::now() >= deadline) return false;
    ReadOnce(MsLeft(deadline));
  }
  return true;
}

}  // namespace lab
