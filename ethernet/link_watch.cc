#include "ethernet/link_watch.h"

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int OpenLinkWatch() {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return -1;
  struct sockaddr_nl addr;
  memset(&addr, 0, sizeof addr);
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = RTMGRP_LINK;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

// The interface name carried by a link message, "" for a deletion or when
// the message carries none.
static void LinkName(const struct nlmsghdr* h, char (&name)[IFNAMSIZ]) {
  name[0] = '\0';
  if (h->nlmsg_type == RTM_DELLINK) return;
  const auto* info = static_cast<const struct ifinfomsg*>(NLMSG_DATA(h));
  int left = static_cast<int>(h->nlmsg_len) - static_cast<int>(NLMSG_LENGTH(sizeof *info));
  const auto* a = reinterpret_cast<const struct rtattr*>(reinterpret_cast<const char*>(info) +
                                                         NLMSG_ALIGN(sizeof *info));
  for (; left > 0 && RTA_OK(a, left); a = RTA_NEXT(a, left)) {
    if (a->rta_type != IFLA_IFNAME) continue;
    size_t n = RTA_PAYLOAD(a);
    if (n >= IFNAMSIZ) n = IFNAMSIZ - 1;
    memcpy(name, RTA_DATA(a), n);
    name[n] = '\0';
    return;
  }
}

int DrainLinkWatch(int fd, LinkVisit visit, void* arg) {
  alignas(struct nlmsghdr) char buf[8192];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno;
    }
    if (n == 0) return 0;
    unsigned int len = static_cast<unsigned int>(n);
    for (const auto* h = reinterpret_cast<const struct nlmsghdr*>(buf); NLMSG_OK(h, len);
         h = NLMSG_NEXT(h, len)) {
      if (h->nlmsg_type != RTM_NEWLINK && h->nlmsg_type != RTM_DELLINK) continue;
      if (h->nlmsg_len < NLMSG_LENGTH(sizeof(struct ifinfomsg))) continue;
      const auto* info = static_cast<const struct ifinfomsg*>(NLMSG_DATA(h));
      char name[IFNAMSIZ];
      LinkName(h, name);
      visit(static_cast<unsigned>(info->ifi_index), name, arg);
    }
  }
}
