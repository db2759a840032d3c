// Link notifications of the kernel (rtnetlink, link group): every change
// of an interface of this network namespace, read without waiting.
#ifndef E1CTLD_ETHERNET_LINK_WATCH_H_
#define E1CTLD_ETHERNET_LINK_WATCH_H_

// A non-blocking NETLINK_ROUTE socket subscribed to RTMGRP_LINK, or -1
// (errno set) when it cannot be had.
int OpenLinkWatch();

// One notification: the interface's index and its name now ("" when the
// interface was deleted).
using LinkVisit = void (*)(unsigned index, const char* name, void* arg);

// Reads every message waiting on `fd` and calls `visit` for each link
// message. Returns 0 when the socket is drained, ENOBUFS when the kernel
// dropped messages (whatever changed meanwhile is unknown), or another
// error number when reading failed.
int DrainLinkWatch(int fd, LinkVisit visit, void* arg);

#endif  // E1CTLD_ETHERNET_LINK_WATCH_H_
