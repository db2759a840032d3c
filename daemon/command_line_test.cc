#include "daemon/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Owns the strings behind an argv so the reordering can be inspected.
struct Argv {
  explicit Argv(std::vector<std::string> args) : store(std::move(args)) {
    for (auto& s : store) ptrs.push_back(s.data());
  }
  int argc() const { return static_cast<int>(ptrs.size()); }
  char** argv() { return ptrs.data(); }
  std::vector<std::string> Order() const {
    std::vector<std::string> out;
    for (char* p : ptrs) out.emplace_back(p);
    return out;
  }
  std::vector<std::string> store;
  std::vector<char*> ptrs;
};

TEST(ReorderArgs, MovesOptionsBehindPositionalsKeepingEachGroupsOrder) {
  Argv a({"e1ctld", "-s", "1-1", "--debugmsg", "2-1", "-k", "3-1"});
  int start = ReorderArgs(a.argc(), a.argv());
  EXPECT_EQ(a.Order(),
            (std::vector<std::string>{"e1ctld", "1-1", "2-1", "3-1", "-s", "--debugmsg", "-k"}));
  EXPECT_EQ(start, 4);
}

TEST(ReorderArgs, BoundaryCases) {
  Argv none({"e1ctld", "1-1", "2-1"});
  EXPECT_EQ(ReorderArgs(none.argc(), none.argv()), 3);  // no option: argc

  Argv onlyOptions({"e1ctld", "-n", "-q"});
  EXPECT_EQ(ReorderArgs(onlyOptions.argc(), onlyOptions.argv()), 1);

  Argv bare({"e1ctld"});
  EXPECT_EQ(ReorderArgs(bare.argc(), bare.argv()), 1);
  EXPECT_EQ(ReorderArgs(0, nullptr), 0);

  // An empty positional argument is a positional argument all the same.
  Argv empty({"e1ctld", "-s", ""});
  EXPECT_EQ(ReorderArgs(empty.argc(), empty.argv()), 2);
  EXPECT_EQ(empty.Order(), (std::vector<std::string>{"e1ctld", "", "-s"}));
}

TEST(OptionMatching, ShortAndLongFormsIgnoreCaseAndRefuseBundles) {
  Argv a({"e1ctld", "1-1", "-H", "--DebugMsg", "-sk", "--k", "-"});
  int start = ReorderArgs(a.argc(), a.argv());
  EXPECT_TRUE(HasShortOption(a.argc(), a.argv(), start, "h"));
  EXPECT_TRUE(HasLongOption(a.argc(), a.argv(), start, "debugmsg"));
  EXPECT_FALSE(HasShortOption(a.argc(), a.argv(), start, "s"));  // -sk is no option
  EXPECT_FALSE(HasShortOption(a.argc(), a.argv(), start, "k"));  // --k is not -k
  EXPECT_FALSE(HasLongOption(a.argc(), a.argv(), start, "h"));   // -H is not --h
  // The positional argument before the option start is never an option.
  Argv b({"e1ctld", "1-1", "-v"});
  EXPECT_FALSE(HasShortOption(b.argc(), b.argv(), 2, "1-1"));
}

std::string Capture(void (*print)(FILE*, const E1Controller* const*, int),
                    const E1Controller* const* cs, int n) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  print(f, cs, n);
  fclose(f);
  std::string out(buf, len);
  free(buf);
  return out;
}

TEST(Tables, PairAndHubLinesWithMissingNames) {
  E1Controller c[2];
  InitControllerRecord(&c[0]);
  InitControllerRecord(&c[1]);
  c[0].usbIfName = const_cast<char*>("1-1.3:1.0");
  c[0].vid = 0xC251;
  c[0].pid = 0x5;
  c[0].e1Ports = 2;
  c[0].ethPairs = 2;
  c[0].ethName[0] = const_cast<char*>("eth1");
  c[0].ethPath[0] = const_cast<char*>("/sys/bus/usb/devices/1-1.1");
  c[0].ethPath[1] = const_cast<char*>("/sys/bus/usb/devices/1-1.4");
  c[1].usbIfName = const_cast<char*>("2-1.3:1.0");
  c[1].vid = 0xC251;
  c[1].pid = 0xFFFC;
  c[1].e1Ports = 1;
  c[1].ethPairs = 1;
  c[1].ethName[0] = const_cast<char*>("eth9");
  c[1].ethPath[0] = const_cast<char*>("/sys/bus/usb/devices/2-1.1");
  c[1].hubEthName = const_cast<char*>("eth7");
  c[1].hubEthPath = const_cast<char*>("/sys/bus/usb/devices/2-1.4");
  c[1].hubEthIndex = 4;

  const E1Controller* const list[] = {&c[0], &c[1]};
  EXPECT_EQ(Capture(PrintPairTable, list, 2),
            "ETHDEV##eth1##/sys/bus/usb/devices/1-1.1##1##C251##0005##1-1.3:1.0##0\n"
            "ETHDEV##_##/sys/bus/usb/devices/1-1.4##1##C251##0005##1-1.3:1.0##1\n"
            "ETHDEV##eth9##/sys/bus/usb/devices/2-1.1##1##C251##FFFC##2-1.3:1.0##0\n");
  EXPECT_EQ(Capture(PrintHubTable, list, 2),
            "HUBETH##(null)##(null)##0##C251##0005\n"
            "HUBETH##eth7##/sys/bus/usb/devices/2-1.4##4##C251##FFFC\n");
}

}  // namespace
