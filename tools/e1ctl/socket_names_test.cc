#include "tools/e1ctl/socket_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/run_paths.h"

namespace e1ctl {
namespace {

TEST(SocketNames, PathsAreTheDaemonsAndSplitBackIntoControllerAndPort) {
  for (int port = 0; port < 3; ++port) {
    std::string path = SocketPath("1-1.3:1.0", port);
    char daemons[256];
    FormatPortSocketPath(daemons, sizeof daemons, port, "1-1.3:1.0");
    EXPECT_EQ(path, daemons);

    ASSERT_EQ(path.rfind(SocketDir() + "/", 0), 0u) << path;
    SocketEntry e;
    ASSERT_TRUE(ParseSocketName(path.substr(SocketDir().size() + 1), &e)) << path;
    EXPECT_EQ(e.ctlIf, "1-1.3:1.0");
    EXPECT_EQ(e.port, port);
    EXPECT_EQ(e.path, path);
  }
  // A long controller name is never cut.
  std::string longName(300, 'n');
  EXPECT_EQ(SocketPath(longName, 1), std::string(kSocketPrefix) + "1" + kSocketSuffix + longName);
}

TEST(SocketNames, OtherFilesOfTheSocketDirectoryAreNoPortSockets) {
  const std::string base = SocketBase();
  const std::string suffix = kSocketSuffix;
  SocketEntry e;
  EXPECT_TRUE(ParseSocketName(base + "12" + suffix + "x", &e));
  EXPECT_EQ(e.port, 12);
  for (const std::string& name : {
           base + suffix + "1-1:1.0",           // no port number
           base + "1234" + suffix + "1-1:1.0",  // four digits
           base + "1" + suffix,                 // no controller
           base + "1_at_tty_1-1:1.0",           // other suffix
           "X" + base + "1" + suffix + "1-1:1.0",
           std::string("G703G704_AUX_PIPE_1-1:1.0"),
           std::string("."),
       }) {
    EXPECT_FALSE(ParseSocketName(name, &e)) << name;
  }
}

TEST(SocketNames, EntriesSortByControllerThenPortAndMatchByPrefix) {
  std::vector<SocketEntry> entries = {
      {"2-1:1.0", 0, "/s/a"}, {"1-1:1.0", 10, "/s/b"}, {"1-1:1.0", 2, "/s/c"},
      {"1-2:1.0", 0, "/s/d"}, {"1-1:1.0", 0, "/s/e"},
  };
  SortSocketEntries(&entries);
  std::vector<std::string> order;
  order.reserve(entries.size());
  for (const SocketEntry& e : entries) order.push_back(e.path);
  EXPECT_EQ(order, (std::vector<std::string>{"/s/e", "/s/c", "/s/b", "/s/d", "/s/a"}));

  EXPECT_EQ(SocketsWithPrefix(entries, "1-", 0), (std::vector<std::string>{"/s/e", "/s/d"}));
  EXPECT_EQ(SocketsWithPrefix(entries, "1-1", 2), (std::vector<std::string>{"/s/c"}));
  EXPECT_EQ(SocketsWithPrefix(entries, "", 0).size(), 3u);
  EXPECT_TRUE(SocketsWithPrefix(entries, "1-1:1.0x", 0).empty());
  EXPECT_TRUE(SocketsWithPrefix(entries, "2-1", 1).empty());
}

TEST(SocketNames, LockFilesNameTheirController) {
  EXPECT_EQ(LockDir() + "/" + LockBase(), kLockPrefix);
  EXPECT_EQ(LockPath("1-1.3:1.0"), std::string(kLockPrefix) + "1-1.3:1.0");

  std::string ctlIf;
  ASSERT_TRUE(ParseLockName(LockBase() + "1-1.3:1.0", &ctlIf));
  EXPECT_EQ(ctlIf, "1-1.3:1.0");
  ctlIf = "unchanged";
  EXPECT_FALSE(ParseLockName(LockBase(), &ctlIf));
  EXPECT_FALSE(ParseLockName("utmp", &ctlIf));
  EXPECT_FALSE(ParseLockName("x" + LockBase() + "1-1", &ctlIf));
  EXPECT_EQ(ctlIf, "unchanged");
}

}  // namespace
}  // namespace e1ctl
