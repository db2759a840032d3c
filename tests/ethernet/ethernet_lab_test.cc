// The Ethernet pair pass against real interfaces: veth pairs stand for the
// controller's USB Ethernet functions, and the fake sysfs "net" entries
// follow kernel renames as the real sysfs does.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "lab/lab.h"

namespace {

using namespace std::chrono_literals;
using lab::CountOf;

// A two-pair controller (pid 0005) at 1-1 whose pairs are the veth
// interfaces e1p0 and e1p1, with a simulated control UART.
class EthernetPairs : public ::testing::Test {
 protected:
  void SetUp() override {
    lab::ResetSandbox();
    for (const char* n : {"e1p0", "e1p1", "other0", "E1P0", "taken"}) lab::DeleteInterface(n);
    lab::CreateVethPair("e1p0", "e1p0peer");
    lab::CreateVethPair("e1p1", "e1p1peer");
    lab::ControllerSpec setup;
    setup.pid = 0x0005;
    setup.pairs = {lab::EthFunction::NoNetDir(), lab::EthFunction::NoNetDir()};
    layout_ = usb_.AddController(setup);
    follower_ = std::make_unique<lab::NetFollower>();
    follower_->Track(usb_.NetDir(layout_.pairDevs[0] + ":1.0"), "e1p0");
    follower_->Track(usb_.NetDir(layout_.pairDevs[1] + ":1.0"), "e1p1");
    lab::SimController::Options o;
    o.usb = &usb_;
    o.iface = layout_.ctlIf;
    sim_ = std::make_unique<lab::SimController>(o);
  }

  void TearDown() override {
    daemon_.reset();
    sim_.reset();
    follower_.reset();
    for (const char* n : {"e1p0", "e1p1", "other0", "E1P0", "taken"}) lab::DeleteInterface(n);
  }

  void Start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-n", "--debugmsg"};
    args.insert(args.end(), extra.begin(), extra.end());
    daemon_ = std::make_unique<lab::DaemonProcess>(args);
  }

  // Renames behind the daemon's back with the daemon held still, so that
  // no pass sees the interface half-way (down, or named but not in sysfs).
  void RenameBehindDaemon(const std::string& from, const std::string& to, bool upAfter) {
    ASSERT_TRUE(daemon_->Signal(SIGSTOP));
    lab::SetInterfaceUp(from, false);
    lab::RenameInterface(from, to);
    if (upAfter) lab::SetInterfaceUp(to, true);
    follower_->SyncNow();
    ASSERT_TRUE(daemon_->Signal(SIGCONT));
  }

  // Waits until the daemon's output holds `needle` at least `n` times.
  bool WaitCount(const std::string& needle, size_t n, std::chrono::milliseconds timeout) {
    return lab::WaitUntil([&] { return CountOf(daemon_->Output(), needle) >= n; }, timeout);
  }

  std::string Steady(const std::string& name) {
    return "Ethername is the same '" + name + "'/'" + name + "', no change requered.\n";
  }

  lab::FakeUsb usb_;
  lab::ControllerLayout layout_;
  std::unique_ptr<lab::NetFollower> follower_;
  std::unique_ptr<lab::SimController> sim_;
  std::unique_ptr<lab::DaemonProcess> daemon_;
};

TEST_F(EthernetPairs, SteadyStateIsLoggedOncePerPair) {
  Start();
  ASSERT_TRUE(daemon_->WaitForOutput(Steady("e1p1"), 3s)) << daemon_->Output();
  std::this_thread::sleep_for(1s);  // about five more passes
  std::string out = daemon_->Output();
  EXPECT_EQ(CountOf(out, Steady("e1p0")), 1u) << out;
  EXPECT_EQ(CountOf(out, Steady("e1p1")), 1u) << out;
  EXPECT_EQ(CountOf(out, "renamed"), 0u);
}

TEST_F(EthernetPairs, UpInterfaceRenamedElsewhereComesBackUpUnderItsName) {
  lab::SetInterfaceUp("e1p0", true);
  Start();
  ASSERT_TRUE(daemon_->WaitForOutput(Steady("e1p0"), 3s)) << daemon_->Output();
  std::this_thread::sleep_for(300ms);  // a pass records the up state

  RenameBehindDaemon("e1p0", "other0", true);
  ASSERT_TRUE(daemon_->WaitForOutput("Port 'e1p0' has returned to adm up state\n", 2s))
      << daemon_->Output();
  std::string out = daemon_->Output();
  std::string expected =
      "Port 'other0' adm up\n"
      "Port 'other0' renamed to 'e1p0'\n"
      "Port 'e1p0' has returned to adm up state\n";
  EXPECT_NE(out.find(expected), std::string::npos) << out;
  EXPECT_TRUE(lab::InterfaceExists("e1p0"));
  EXPECT_FALSE(lab::InterfaceExists("other0"));
  EXPECT_TRUE(lab::IsInterfaceUp("e1p0"));

  // The code is still 0: the following passes say nothing more.
  std::this_thread::sleep_for(800ms);
  out = daemon_->Output();
  EXPECT_EQ(CountOf(out, "renamed to"), 1u) << out;
  EXPECT_EQ(CountOf(out, Steady("e1p0")), 1u) << out;
}

TEST_F(EthernetPairs, DownInterfaceComesBackDownAndCaseDoesNotMatter) {
  Start();
  ASSERT_TRUE(daemon_->WaitForOutput(Steady("e1p1"), 3s)) << daemon_->Output();
  RenameBehindDaemon("e1p0", "other0", false);
  ASSERT_TRUE(daemon_->WaitForOutput("Port 'other0' renamed to 'e1p0'\n", 2s)) << daemon_->Output();
  EXPECT_NE(daemon_->Output().find("Port 'other0' adm down\n"), std::string::npos);
  EXPECT_TRUE(lab::InterfaceExists("e1p0"));
  EXPECT_FALSE(lab::IsInterfaceUp("e1p0"));
  EXPECT_EQ(CountOf(daemon_->Output(), "has returned to adm up state"), 0u);

  // Only the letter case differs: the same name, left alone.
  RenameBehindDaemon("e1p1", "E1P1", false);
  std::this_thread::sleep_for(800ms);
  EXPECT_TRUE(lab::InterfaceExists("E1P1"));
  EXPECT_EQ(CountOf(daemon_->Output(), "'E1P1' renamed"), 0u) << daemon_->Output();
  lab::DeleteInterface("E1P1");
}

TEST_F(EthernetPairs, KeepNamesLeavesRenamedInterfacesAlone) {
  Start({"-k"});
  ASSERT_TRUE(daemon_->WaitForOutput("flagged for repeat last command", 3s)) << daemon_->Output();
  RenameBehindDaemon("e1p0", "other0", true);
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(lab::InterfaceExists("other0"));
  EXPECT_FALSE(lab::InterfaceExists("e1p0"));
  EXPECT_EQ(CountOf(daemon_->Output(), "Ethername is the same"), 0u) << daemon_->Output();
}

TEST_F(EthernetPairs, RenameThatCannotSucceedIsRetriedAndLeavesTheInterfaceDown) {
  Start();
  ASSERT_TRUE(daemon_->WaitForOutput(Steady("e1p0"), 3s)) << daemon_->Output();
  ASSERT_TRUE(daemon_->Signal(SIGSTOP));
  lab::RenameInterface("e1p0", "other0");
  lab::SetInterfaceUp("other0", true);
  lab::CreateVethPair("taken", "takenpeer");
  lab::RenameInterface("taken", "e1p0");  // the wanted name now belongs to another
  follower_->SyncNow();
  ASSERT_TRUE(daemon_->Signal(SIGCONT));

  const std::string error = "Error renaming 'other0' to 'e1p0': No such file or directory (2)\n";
  // Once per pass.
  ASSERT_TRUE(WaitCount(error, 3, 3s)) << daemon_->Output();
  // Cut after the last error so that a pass half-logged does not count.
  std::string out = daemon_->Output();
  out.resize(out.rfind(error) + error.size());
  EXPECT_EQ(CountOf(out, "Port 'other0' adm down\n"), CountOf(out, error)) << out;
  EXPECT_TRUE(lab::InterfaceExists("other0"));
  EXPECT_FALSE(lab::IsInterfaceUp("other0"));
  lab::DeleteInterface("e1p0");
}

// Both pairs hold each other's wanted names: each rename alone fails, for
// ever. One interface goes through a temporary name, and both end under
// their wanted names, up as they were, without an error line.
TEST_F(EthernetPairs, PairsThatSwappedNamesGetTheirOwnNamesBackAndTheirUpStates) {
  lab::SetInterfaceUp("e1p0", true);
  lab::SetInterfaceUp("e1p1", true);
  const int first = lab::InterfaceIndex("e1p0");
  const int second = lab::InterfaceIndex("e1p1");
  Start();
  ASSERT_TRUE(daemon_->WaitForOutput(Steady("e1p0"), 3s)) << daemon_->Output();
  ASSERT_TRUE(daemon_->WaitForOutput(Steady("e1p1"), 3s)) << daemon_->Output();
  std::this_thread::sleep_for(300ms);  // a pass records the up states

  ASSERT_TRUE(daemon_->Signal(SIGSTOP));
  lab::SetInterfaceUp("e1p0", false);
  lab::SetInterfaceUp("e1p1", false);
  lab::RenameInterface("e1p0", "other0");
  lab::RenameInterface("e1p1", "e1p0");
  lab::RenameInterface("other0", "e1p1");
  lab::SetInterfaceUp("e1p0", true);
  lab::SetInterfaceUp("e1p1", true);
  follower_->SyncNow();
  ASSERT_TRUE(daemon_->Signal(SIGCONT));

  // While the daemon holds one of them under a temporary name, that name
  // is missing: not home yet.
  auto home = [&] {
    return lab::InterfaceName(first) == "e1p0" && lab::InterfaceName(second) == "e1p1" &&
           lab::InterfaceUpState("e1p0").value_or(false) &&
           lab::InterfaceUpState("e1p1").value_or(false);
  };
  ASSERT_TRUE(lab::WaitUntil(home, 2s)) << daemon_->Output();
  std::this_thread::sleep_for(600ms);  // about three more passes
  EXPECT_TRUE(home());
  std::string out = daemon_->Output();
  EXPECT_EQ(CountOf(out, "Error renaming"), 0u) << out;
  EXPECT_EQ(CountOf(out, "renamed to 'e1p0'\n"), 1u) << out;
  EXPECT_EQ(CountOf(out, "renamed to 'e1p1'\n"), 1u) << out;
  EXPECT_EQ(CountOf(out, "has returned to adm up state\n"), 2u) << out;
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(daemon_->Output(), out) << "the pass still acts";
}

TEST_F(EthernetPairs, RemovedFunctionIsReportedOnceAndItsReturnOnce) {
  Start();
  ASSERT_TRUE(daemon_->WaitForOutput(Steady("e1p0"), 3s)) << daemon_->Output();
  const std::string pairIf = layout_.pairDevs[0] + ":1.0";
  follower_->Untrack(usb_.NetDir(pairIf));
  usb_.RemoveInterface(pairIf);
  ASSERT_TRUE(daemon_->WaitForOutput("USB device is not ethernet port.\n", 2s))
      << daemon_->Output();
  std::this_thread::sleep_for(800ms);
  EXPECT_EQ(CountOf(daemon_->Output(), "USB device is not ethernet port.\n"), 1u);

  // Back under its name: the steady message once more (19 -> 0).
  usb_.AddInterface(pairIf);
  follower_->Track(usb_.NetDir(pairIf), "e1p0");
  ASSERT_TRUE(WaitCount(Steady("e1p0"), 2, 3s)) << daemon_->Output();
  std::this_thread::sleep_for(800ms);
  EXPECT_EQ(CountOf(daemon_->Output(), Steady("e1p0")), 2u) << daemon_->Output();
}

}  // namespace
