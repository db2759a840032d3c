#include "ethernet/link_watch.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using Seen = std::vector<std::pair<unsigned, std::string>>;

void Record(unsigned index, const char* name, void* arg) {
  static_cast<Seen*>(arg)->emplace_back(index, name);
}

// Appends one netlink message: header, interface record and the given
// attributes (type, payload), each padded as the kernel pads them.
void AddMessage(std::string* out, uint16_t type, int index,
                const std::vector<std::pair<uint16_t, std::string>>& attrs) {
  std::string body(NLMSG_ALIGN(sizeof(struct ifinfomsg)), '\0');
  struct ifinfomsg info = {};
  info.ifi_index = index;
  memcpy(body.data(), &info, sizeof info);
  for (const auto& [attrType, payload] : attrs) {
    struct rtattr a = {};
    a.rta_type = attrType;
    a.rta_len = static_cast<uint16_t>(RTA_LENGTH(payload.size()));
    std::string raw(RTA_SPACE(payload.size()), '\0');
    memcpy(raw.data(), &a, sizeof a);
    memcpy(raw.data() + RTA_LENGTH(0), payload.data(), payload.size());
    body += raw;
  }
  struct nlmsghdr h = {};
  h.nlmsg_type = type;
  h.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(body.size()));
  std::string msg(NLMSG_SPACE(body.size()), '\0');
  memcpy(msg.data(), &h, sizeof h);
  memcpy(msg.data() + NLMSG_HDRLEN, body.data(), body.size());
  *out += msg;
}

std::string Name(const char* s) {
  return std::string(s, strlen(s) + 1);  // with its terminator, as the kernel sends it
}

class LinkWatchDrain : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds_), 0); }
  void TearDown() override {
    close(fds_[0]);
    close(fds_[1]);
  }
  void Send(const std::string& datagram) {
    ASSERT_EQ(send(fds_[1], datagram.data(), datagram.size(), 0),
              static_cast<ssize_t>(datagram.size()));
  }
  int fds_[2] = {-1, -1};
};

// Several messages in one datagram and several datagrams: every link
// message is reported with its name wherever the attribute sits, a
// deletion without one, and nothing else is.
TEST_F(LinkWatchDrain, ReportsEveryLinkMessageAndOnlyThose) {
  std::string first;
  uint32_t mtu = 1500;
  AddMessage(&first, RTM_NEWLINK, 7,
             {{IFLA_MTU, std::string(reinterpret_cast<char*>(&mtu), sizeof mtu)},
              {IFLA_IFNAME, Name("other0")}});
  AddMessage(&first, RTM_NEWADDR, 9, {{IFLA_IFNAME, Name("notalink")}});
  AddMessage(&first, RTM_DELLINK, 8, {{IFLA_IFNAME, Name("gone0")}});
  Send(first);
  std::string second;
  AddMessage(&second, RTM_NEWLINK, 7, {{IFLA_IFNAME, Name("e1p0")}});
  AddMessage(&second, RTM_NEWLINK, 3, {});  // no name carried
  Send(second);

  Seen seen;
  EXPECT_EQ(DrainLinkWatch(fds_[0], Record, &seen), 0);
  Seen expected = {{7, "other0"}, {8, ""}, {7, "e1p0"}, {3, ""}};
  EXPECT_EQ(seen, expected);
  seen.clear();
  EXPECT_EQ(DrainLinkWatch(fds_[0], Record, &seen), 0);  // drained: nothing waits
  EXPECT_TRUE(seen.empty());
}

// Malformed input is passed over: a name longer than an interface name is
// cut to one, a name without its terminator ends where the attribute
// ends, a message too short for its record is skipped.
TEST_F(LinkWatchDrain, MalformedMessagesNeitherOverrunNorStop) {
  std::string d;
  AddMessage(&d, RTM_NEWLINK, 4, {{IFLA_IFNAME, Name("a-name-longer-than-sixteen")}});
  AddMessage(&d, RTM_NEWLINK, 5, {{IFLA_IFNAME, "abc"}});
  struct nlmsghdr shortOne = {};
  shortOne.nlmsg_type = RTM_NEWLINK;
  shortOne.nlmsg_len = NLMSG_HDRLEN;
  d += std::string(reinterpret_cast<char*>(&shortOne), sizeof shortOne);
  Send(d);
  std::string after;
  AddMessage(&after, RTM_NEWLINK, 6, {{IFLA_IFNAME, Name("e1p1")}});
  Send(after);

  Seen seen;
  EXPECT_EQ(DrainLinkWatch(fds_[0], Record, &seen), 0);
  Seen expected = {{4, "a-name-longer-t"}, {5, "abc"}, {6, "e1p1"}};
  EXPECT_EQ(seen, expected);
}

TEST(LinkWatch, ReadFailureIsReported) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
  close(fds[0]);
  close(fds[1]);
  Seen seen;
  EXPECT_EQ(DrainLinkWatch(fds[0], Record, &seen), EBADF);
  EXPECT_TRUE(seen.empty());
}

}  // namespace
