#include "tools/e1ctl/status_report.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <string>
#include <vector>

#include "tools/e1ctl/lock_state.h"

namespace e1ctl {
namespace {

using Strings = std::vector<std::string>;

TEST(LockState, ProcLocksNamesTheHolderOfTheFileOnly) {
  const dev_t dev = makedev(0xfd, 0x01);
  int pid = -7;
  EXPECT_TRUE(
      ParseProcLocksLine("1: POSIX  ADVISORY  WRITE 812 fd:01:1234 0 EOF\n", dev, 1234, &pid));
  EXPECT_EQ(pid, 812);
  EXPECT_TRUE(
      ParseProcLocksLine("12: OFDLCK ADVISORY  READ  -1 fd:01:1234 0 EOF\n", dev, 1234, &pid));
  EXPECT_EQ(pid, -1);

  pid = -7;
  // A waiter, another inode, another device, a line of another form.
  EXPECT_FALSE(
      ParseProcLocksLine("1: -> POSIX  ADVISORY  WRITE 813 fd:01:1234 0 EOF\n", dev, 1234, &pid));
  EXPECT_FALSE(
      ParseProcLocksLine("1: POSIX  ADVISORY  WRITE 812 fd:01:1235 0 EOF\n", dev, 1234, &pid));
  EXPECT_FALSE(
      ParseProcLocksLine("1: POSIX  ADVISORY  WRITE 812 fd:02:1234 0 EOF\n", dev, 1234, &pid));
  EXPECT_FALSE(
      ParseProcLocksLine("1: POSIX  ADVISORY  WRITE 812 08:01:1234 0 EOF\n", dev, 1234, &pid));
  EXPECT_FALSE(ParseProcLocksLine("garbage\n", dev, 1234, &pid));
  EXPECT_FALSE(ParseProcLocksLine("", dev, 1234, &pid));
  EXPECT_EQ(pid, -7);
}

TEST(LockState, DescriptionsSayWhoHoldsTheLockAndWhereItWasRead) {
  LockInfo none;
  none.kind = LockInfo::kNone;
  EXPECT_EQ(DescribeLock(none, ""), "none (no daemon serves it)");

  LockInfo held;
  held.kind = LockInfo::kHeld;
  held.pid = 812;
  EXPECT_EQ(DescribeLock(held, "e1ctld"), "held by pid 812 (e1ctld)");
  EXPECT_EQ(DescribeLock(held, ""), "held by pid 812");
  held.pid = 0;
  EXPECT_EQ(DescribeLock(held, ""), "held by a process not visible here");
  held.pid = 812;
  held.unread = "Permission denied";
  EXPECT_EQ(DescribeLock(held, "e1ctld"),
            "held by pid 812 (e1ctld) [from /proc/locks: the lock file is not readable: "
            "Permission denied]");

  LockInfo unknown;
  unknown.unread = "Permission denied";
  EXPECT_EQ(DescribeLock(unknown, "ignored"),
            "unknown: the lock file cannot be read (Permission denied) nor /proc/locks: run as "
            "root to know");
}

TEST(StatusReport, ListeningSocketsAreThoseWithTheAcceptFlagAndAPath) {
  std::string path = "unchanged";
  EXPECT_TRUE(ParseListeningSocketLine(
      "0000000000000000: 00000002 00000000 00010000 0001 01 12345 /var/run/E1controllers/x\n",
      &path));
  EXPECT_EQ(path, "/var/run/E1controllers/x");
  EXPECT_TRUE(ParseListeningSocketLine("ffff8a: 00000002 00000000 00010001 0001 01 12 /run/y\n",
                                       &path));  // other flags too
  EXPECT_EQ(path, "/run/y");

  path = "unchanged";
  EXPECT_FALSE(ParseListeningSocketLine(
      "0000000000000000: 00000003 00000000 00000000 0001 03 12346 /var/run/E1controllers/x\n",
      &path));  // connected, not listening
  EXPECT_FALSE(ParseListeningSocketLine(
      "0000000000000000: 00000002 00000000 00010000 0001 01 12347\n", &path));  // no path
  EXPECT_FALSE(
      ParseListeningSocketLine("Num       RefCount Protocol Flags    Type St Inode Path\n", &path));
  EXPECT_EQ(path, "unchanged");
}

TEST(StatusReport, NamedControllersAreMatchedByPrefixAndShownEvenWhenAbsent) {
  const Strings known = {"1-1.3:1.0", "1-1.4:1.0", "2-1:1.0"};
  EXPECT_EQ(ControllersToShow({}, known), known);
  EXPECT_TRUE(ControllersToShow({}, {}).empty());
  EXPECT_EQ(ControllersToShow({"2-1", "1-1."}, known),
            (Strings{"2-1:1.0", "1-1.3:1.0", "1-1.4:1.0"}));
  EXPECT_EQ(ControllersToShow({"9-9", "1-1.4"}, known), (Strings{"9-9", "1-1.4:1.0"}));
  EXPECT_EQ(ControllersToShow({"x"}, {}), (Strings{"x"}));
}

TEST(StatusReport, PortsOfTheModelAndOfEverySocketPresent) {
  std::vector<SocketEntry> sockets = {{"a", 2, "/s/a2"}, {"b", 0, "/s/b0"}, {"ab", 4, "/s/ab4"}};
  EXPECT_EQ(PortsToShow(2, sockets, "a"), 3);
  EXPECT_EQ(PortsToShow(3, sockets, "a"), 3);
  EXPECT_EQ(PortsToShow(2, sockets, "b"), 2);
  EXPECT_EQ(PortsToShow(0, sockets, "b"), 1);
  EXPECT_EQ(PortsToShow(0, sockets, "c"), 0);
}

TEST(StatusReport, PortStateFromTheSocketAndTheLock) {
  PortFacts missing;
  EXPECT_STREQ(PortStateText(missing, LockInfo::kHeld), "missing");
  PortFacts refused;
  refused.accessDenied = true;
  EXPECT_STREQ(PortStateText(refused, LockInfo::kHeld), "not accessible (permission denied)");

  PortFacts served;
  served.present = true;
  served.listening = true;
  for (LockInfo::Kind k : {LockInfo::kHeld, LockInfo::kNone, LockInfo::kUnknown}) {
    EXPECT_STREQ(PortStateText(served, k), "served");
  }
  PortFacts quiet;
  quiet.present = true;
  EXPECT_STREQ(PortStateText(quiet, LockInfo::kHeld), "busy");
  EXPECT_STREQ(PortStateText(quiet, LockInfo::kNone), "stale");
  EXPECT_STREQ(PortStateText(quiet, LockInfo::kUnknown), "busy or stale (lock unknown)");
}

}  // namespace
}  // namespace e1ctl
