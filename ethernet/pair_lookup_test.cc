#include "ethernet/pair_lookup.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "discovery/sysfs_names.h"

namespace {

namespace fs = std::filesystem;

// A pair's Ethernet function in a scratch directory: <dir>/1-1.1 is the
// pair's path, <dir>/1-1.1:1.0/net its net directory.
class PairLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/e1_pair_lookup_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/1-1.1";
    net_ = path_ + ":1.0/net";
    fs::create_directories(net_);
    InitControllerRecord(&c_);
    c_.ethPath[0] = strdup(path_.c_str());
  }
  void TearDown() override {
    free(c_.ethPath[0]);
    if (c_.ethNetDirFd[0] >= 0) close(c_.ethNetDirFd[0]);
    fs::remove_all(dir_);
  }

  // What the kept-handle lookup says: "<unreadable>", "<none>" or the name.
  std::string Look() {
    char* name = nullptr;
    bool readable = LookUpPairName(&c_, 0, &name);
    std::string r = !readable ? "<unreadable>" : name == nullptr ? "<none>" : name;
    free(name);
    return r;
  }
  // What the full sysfs lookup says of the same directory.
  std::string Full() {
    char* name = nullptr;
    bool readable = IsUSBDeviceEthernetPort(path_.c_str(), ":1.0", true, &name);
    std::string r = !readable ? "<unreadable>" : name == nullptr ? "<none>" : name;
    free(name);
    return r;
  }
  void AddName(const std::string& n) { fs::create_directory(net_ + "/" + n); }

  std::string dir_, path_, net_;
  E1Controller c_;
};

// The handle is opened once and reread: renames show at once, the greatest
// of several names wins as in the full lookup, and an emptied or removed
// directory gives the full lookup's answer (no name, unreadable).
TEST_F(PairLookup, AgreesWithTheFullLookupThroughRenamesAndRemovals) {
  AddName("eth0");
  EXPECT_EQ(Look(), "eth0");
  const int fd = c_.ethNetDirFd[0];
  ASSERT_GE(fd, 0);
  fs::rename(net_ + "/eth0", net_ + "/other0");
  EXPECT_EQ(Look(), "other0");
  EXPECT_EQ(c_.ethNetDirFd[0], fd) << "reread, not reopened";
  AddName("zz9");
  AddName("abc");
  EXPECT_EQ(Look(), Full());
  EXPECT_EQ(Look(), "zz9");

  fs::remove(net_ + "/zz9");
  fs::remove(net_ + "/abc");
  fs::remove(net_ + "/other0");
  EXPECT_EQ(Look(), "<none>");
  EXPECT_EQ(Full(), "<none>");
  EXPECT_EQ(c_.ethNetDirFd[0], -1) << "a handle that reads no name is closed";

  fs::remove_all(path_ + ":1.0");
  EXPECT_EQ(Look(), "<unreadable>");
  EXPECT_EQ(Full(), "<unreadable>");

  // Back: found again through a new handle.
  fs::create_directories(net_);
  AddName("eth0");
  EXPECT_EQ(Look(), "eth0");
  EXPECT_GE(c_.ethNetDirFd[0], 0);
}

// A listing too long for one read of the handle is read to its end.
TEST_F(PairLookup, ReadsAListingLongerThanOneRead) {
  for (int k = 0; k < 400; ++k) {
    char n[16];
    snprintf(n, sizeof n, "if%05d", k);
    AddName(n);
  }
  EXPECT_EQ(Look(), "if00399");
  EXPECT_EQ(Look(), Full());
}

// A directory replaced under the same path (the handle still reads the old
// one) is noticed by the check, which makes the next lookup open the new.
TEST_F(PairLookup, CheckClosesAHandleOnAReplacedDirectory) {
  AddName("old0");
  EXPECT_EQ(Look(), "old0");
  RecheckPairHandle(&c_, 0);
  EXPECT_GE(c_.ethNetDirFd[0], 0) << "the same directory: kept";
  fs::rename(net_, net_ + ".before");
  fs::create_directories(net_);
  AddName("new0");
  EXPECT_EQ(Look(), "old0");  // the kept handle's directory
  RecheckPairHandle(&c_, 0);
  EXPECT_EQ(c_.ethNetDirFd[0], -1);
  EXPECT_EQ(Look(), "new0");
}

}  // namespace
