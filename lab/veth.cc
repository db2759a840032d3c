#include "lab/veth.h"

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "lab/fs.h"
#include "lab/process.h"

namespace lab {
namespace {

class IfSocket {
 public:
  IfSocket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + strerror(errno));
  }
  ~IfSocket() { close(fd_); }
  IfSocket(const IfSocket&) = delete;
  IfSocket& operator=(const IfSocket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

void CopyName(char (&field)[IFNAMSIZ], const std::string& name) {
  if (name.size() >= IFNAMSIZ) throw std::invalid_argument("interface name too long: " + name);
  memset(field, 0, IFNAMSIZ);
  memcpy(field, name.data(), name.size());
}

short GetFlags(const IfSocket& s, const std::string& name) {
  struct ifreq ifr = {};
  CopyName(ifr.ifr_name, name);
  if (ioctl(s.fd(), SIOCGIFFLAGS, &ifr) != 0) {
    throw std::runtime_error("SIOCGIFFLAGS " + name + ": " + strerror(errno));
  }
  return ifr.ifr_flags;
}

}  // namespace

int InterfaceIndex(const std::string& name) {
  return static_cast<int>(if_nametoindex(name.c_str()));
}

std::string InterfaceName(int index) {
  char buf[IF_NAMESIZE];
  if (index <= 0 || if_indextoname(static_cast<unsigned>(index), buf) == nullptr) return "";
  return buf;
}

bool InterfaceExists(const std::string& name) {
  return InterfaceIndex(name) != 0;
}

void RenameInterface(const std::string& from, const std::string& to) {
  IfSocket s;
  struct ifreq ifr = {};
  CopyName(ifr.ifr_name, from);
  CopyName(ifr.ifr_newname, to);
  if (ioctl(s.fd(), SIOCSIFNAME, &ifr) != 0) {
    throw std::runtime_error("rename " + from + " to " + to + ": " + strerror(errno));
  }
}

void SetInterfaceUp(const std::string& name, bool up) {
  IfSocket s;
  struct ifreq ifr = {};
  CopyName(ifr.ifr_name, name);
  short flags = GetFlags(s, name);
  ifr.ifr_flags = static_cast<short>(up ? (flags | IFF_UP) : (flags & ~IFF_UP));
  if (ioctl(s.fd(), SIOCSIFFLAGS, &ifr) != 0) {
    throw std::runtime_error("SIOCSIFFLAGS " + name + ": " + strerror(errno));
  }
}

bool IsInterfaceUp(const std::string& name) {
  IfSocket s;
  return (GetFlags(s, name) & IFF_UP) != 0;
}

std::optional<bool> InterfaceUpState(const std::string& name) {
  IfSocket s;
  struct ifreq ifr = {};
  CopyName(ifr.ifr_name, name);
  if (ioctl(s.fd(), SIOCGIFFLAGS, &ifr) != 0) {
    if (errno == ENODEV) return std::nullopt;
    throw std::runtime_error("SIOCGIFFLAGS " + name + ": " + strerror(errno));
  }
  return (ifr.ifr_flags & IFF_UP) != 0;
}

void CreateVethPair(const std::string& name, const std::string& peer) {
  std::string out;
  ExitStatus st =
      RunCommand({"ip", "link", "add", name, "type", "veth", "peer", "name", peer}, &out);
  if (!(st == ExitStatus::Exited(0))) {
    throw std::runtime_error("ip link add " + name + " (" + st.ToString() + "): " + out);
  }
}

void DeleteInterface(const std::string& name) {
  if (!InterfaceExists(name)) return;
  std::string out;
  ExitStatus st = RunCommand({"ip", "link", "del", name}, &out);
  if (!(st == ExitStatus::Exited(0)) && InterfaceExists(name)) {
    throw std::runtime_error("ip link del " + name + " (" + st.ToString() + "): " + out);
  }
}

NetFollower::NetFollower() {
  thread_ = std::thread(&NetFollower::Loop, this);
}

NetFollower::~NetFollower() {
  stop_ = true;
  thread_.join();
}

void NetFollower::Track(const std::string& netDir, const std::string& ifName) {
  int index = InterfaceIndex(ifName);
  if (index == 0) throw std::runtime_error("NetFollower: no interface " + ifName);
  std::lock_guard<std::mutex> lock(mu_);
  for (Entry& e : entries_) {
    if (e.netDir == netDir) throw std::logic_error("NetFollower: already tracked: " + netDir);
  }
  MakeDirs(netDir);
  entries_.push_back({netDir, index, ""});
  SyncLocked();
}

void NetFollower::Untrack(const std::string& netDir) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->netDir == netDir) {
      entries_.erase(it);
      return;
    }
  }
}

void NetFollower::SyncNow() {
  std::lock_guard<std::mutex> lock(mu_);
  SyncLocked();
}

void NetFollower::SyncLocked() {
  for (Entry& e : entries_) {
    std::string now = InterfaceName(e.index);
    if (now == e.shown) continue;
    // The tree may have been torn down under us (a test clearing /sys); the
    // entry then simply stays as it is until the directory comes back.
    if (!IsDirectory(e.netDir)) continue;
    if (!e.shown.empty() && !now.empty() &&
        rename((e.netDir + "/" + e.shown).c_str(), (e.netDir + "/" + now).c_str()) == 0) {
      WriteFile(e.netDir + "/" + now + "/uevent", "INTERFACE=" + now + "\n");
    } else {
      if (!e.shown.empty()) RemoveTree(e.netDir + "/" + e.shown);
      if (!now.empty()) {
        MakeDirs(e.netDir + "/" + now);
        WriteFile(e.netDir + "/" + now + "/uevent", "INTERFACE=" + now + "\n");
      }
    }
    e.shown = now;
  }
}

// A link-notification socket for the follower, -1 when none can be had
// (the follower then only polls).
static int OpenLinkNotifications() {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return -1;
  struct sockaddr_nl addr = {};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = RTMGRP_LINK;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void NetFollower::Loop() {
  // A rename is followed as soon as the kernel reports it (well under a
  // millisecond), and every 5 ms in any case.
  int link = OpenLinkNotifications();
  while (!stop_) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      try {
        SyncLocked();
      } catch (const std::exception& e) {
        fprintf(stderr, "NetFollower: %s\n", e.what());
      }
    }
    struct pollfd p = {link, POLLIN, 0};
    if (poll(&p, 1, 5) > 0) {
      char buf[8192];
      while (recv(link, buf, sizeof buf, MSG_DONTWAIT) > 0) {
      }
    }
  }
  if (link >= 0) close(link);
}

}  // namespace lab
