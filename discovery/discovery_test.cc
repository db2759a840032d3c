#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "core/run_options.h"
#include "discovery/analyze.h"
#include "discovery/known_controllers.h"
#include "discovery/sysfs_names.h"
#include "discovery/sysfs_scan.h"

namespace {

TEST(MatchCtlDevice, ShorterNameIsACaseBlindPrefix) {
  EXPECT_TRUE(MatchCtlDevice("1-1.3:1.0", "1-1.3"));
  EXPECT_TRUE(MatchCtlDevice("1-1.3:1.1", "1-1.3"));
  EXPECT_TRUE(MatchCtlDevice("1-1.30:1.0", "1-1.3"));
  EXPECT_FALSE(MatchCtlDevice("1-1.3:1.1", "1-1.3:1.0"));
  EXPECT_FALSE(MatchCtlDevice("1-1.4:1.0", "1-1.3"));
  EXPECT_TRUE(MatchCtlDevice("1-1", "1-1.3:1.0"));  // the entry may be the shorter one
  EXPECT_TRUE(MatchCtlDevice("1-1.3:1.0", ""));
  EXPECT_TRUE(MatchCtlDevice("", "anything"));
  EXPECT_TRUE(MatchCtlDevice("ab-c", "AB-C"));
}

TEST(Filters, InterfaceNamesNeedADigitAndOnlyInterfaceCharacters) {
  for (const char* ok : {"1-1.3:1.0", "1-1.3:1.1", "2-1", "9"}) {
    EXPECT_TRUE(IsUSBInterfaceName(ok)) << ok;
  }
  for (const char* bad : {"", ".", "..", "usb1", "bind", "module", "new_id", "remove_id", "uevent",
                          "unbind", "-.:", "1-1.3:1.0 "}) {
    EXPECT_FALSE(IsUSBInterfaceName(bad)) << bad;
  }
  struct dirent d;
  memset(&d, 0, sizeof d);
  strcpy(d.d_name, "ttyACM12");
  EXPECT_TRUE(FilterTTYACMName(&d));
  strcpy(d.d_name, "xttyACMy");
  EXPECT_TRUE(FilterTTYACMName(&d));  // "contains", not "begins with"
  strcpy(d.d_name, "ttyUSB0");
  EXPECT_FALSE(FilterTTYACMName(&d));
  EXPECT_FALSE(FilterTTYDir(&d));
  strcpy(d.d_name, "tty");
  EXPECT_TRUE(FilterTTYDir(&d));
  strcpy(d.d_name, "net");
  EXPECT_TRUE(FilterNETDir(&d));
  EXPECT_TRUE(FilterNotDots(&d));
  strcpy(d.d_name, "..");
  EXPECT_FALSE(FilterNotDots(&d));
  strcpy(d.d_name, "cdc_acm");
  EXPECT_TRUE(FilterKnownDriver(&d));
  strcpy(d.d_name, "cdc_ether");
  EXPECT_FALSE(FilterKnownDriver(&d));
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/e1ctld-unit-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf " + dir_).c_str()), 0); }
  void Make(const std::string& rel) { ASSERT_EQ(mkdir((dir_ + "/" + rel).c_str(), 0755), 0); }
  std::string dir_;
};

TEST_F(TempDir, WalkVisitsGreatestNameFirstInByteOrder) {
  for (const char* n : {"ttyACM10", "ttyACM9", "ttyACM1", "other"}) Make(n);
  std::vector<std::string> seen;
  int n = WalkDirDescending(dir_.c_str(), FilterTTYACMName, [&](const char* name) {
    seen.emplace_back(name);
    return true;
  });
  EXPECT_EQ(n, 3);
  EXPECT_EQ(seen, (std::vector<std::string>{"ttyACM9", "ttyACM10", "ttyACM1"}));

  char* first = GetTTYPortName(dir_.c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first, "ttyACM9");
  free(first);
}

TEST_F(TempDir, EthernetLookupTellsMissingDirectoryFromMissingName) {
  g_options.quiet = 1;  // the listing failure below is expected
  char* name = reinterpret_cast<char*>(1);
  EXPECT_FALSE(IsUSBDeviceEthernetPort((dir_ + "/1-1.1").c_str(), ":1.0", true, &name));
  EXPECT_EQ(name, nullptr);

  Make("1-1.1:1.0");
  EXPECT_TRUE(IsUSBDeviceEthernetPort((dir_ + "/1-1.1").c_str(), ":1.0", true, &name));
  EXPECT_EQ(name, nullptr);

  Make("1-1.1:1.0/net");
  Make("1-1.1:1.0/net/eth0");
  Make("1-1.1:1.0/net/eth1");
  EXPECT_TRUE(IsUSBDeviceEthernetPort((dir_ + "/1-1.1").c_str(), ":1.0", true, &name));
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "eth1");
  free(name);
  g_options.quiet = 0;
}

TEST(KnownControllers, LookupByIdsAndUnknownIdsWriteNothing) {
  int pairs[3] = {7, 7, 7};
  int hub[2] = {7, 7};
  int e1 = 7;
  EXPECT_EQ(LookupKnownController(0xC251, 0x0005, pairs, hub, &e1), 2);
  EXPECT_EQ(pairs[0], 1);
  EXPECT_EQ(pairs[1], 4);
  EXPECT_EQ(pairs[2], -1);
  EXPECT_EQ(hub[0], -1);
  EXPECT_EQ(e1, 2);

  EXPECT_EQ(LookupKnownController(0xC251, 0xFFFD, pairs, hub, &e1), 1);
  EXPECT_EQ(hub[0], 4);
  EXPECT_EQ(hub[1], 2);
  EXPECT_EQ(e1, 1);

  int untouched[3] = {9, 9, 9};
  e1 = 9;
  EXPECT_EQ(LookupKnownController(0x0C25, 0x0004, untouched, nullptr, &e1), 0);
  EXPECT_EQ(untouched[0], 9);
  EXPECT_EQ(e1, 9);
  EXPECT_EQ(LookupKnownController(0xC251, 0x0004, nullptr, nullptr, nullptr), 1);
}

TEST_F(TempDir, UsbIdsReadAsHexAndUnreadableIdsAsZero) {
  ASSERT_EQ(system(("printf 'c251\\n' > " + dir_ + "/idVendor").c_str()), 0);
  ASSERT_EQ(system(("printf 'fffb\\n' > " + dir_ + "/idProduct").c_str()), 0);
  uint32_t vid = 1, pid = 1;
  EXPECT_EQ(ReadUSBIds(dir_.c_str(), &vid, &pid), 0);
  EXPECT_EQ(vid, 0xC251u);
  EXPECT_EQ(pid, 0xFFFBu);
  EXPECT_EQ(ReadUSBIds((dir_ + "/missing").c_str(), &vid, &pid), 0);
  EXPECT_EQ(vid, 0u);
  EXPECT_EQ(pid, 0u);
}

TEST(CutAtLast, ChipAndHubPaths) {
  bool noSep = true;
  char* chip = CutAtLast("/sys/bus/usb/devices/1-1.3:1.0", ':', &noSep);
  EXPECT_FALSE(noSep);
  EXPECT_STREQ(chip, "/sys/bus/usb/devices/1-1.3");
  char* hub = CutAtLast(chip, '.', &noSep);
  EXPECT_FALSE(noSep);
  EXPECT_STREQ(hub, "/sys/bus/usb/devices/1-1");
  char* root = CutAtLast("/sys/bus/usb/devices/1-1", '.', &noSep);
  EXPECT_TRUE(noSep);  // a chip on a root port has no hub
  EXPECT_STREQ(root, "/sys/bus/usb/devices/1-1");
  free(chip);
  free(hub);
  free(root);
}

}  // namespace
