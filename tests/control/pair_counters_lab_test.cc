// The pair counters of the status document against real interfaces (veth
// pairs for the controller's Ethernet functions): a rename undone counts
// once, a rename that cannot succeed counts once per pass that tried it,
// and the last outcome says what the latest pass found.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "tests/control/control_lab.h"

namespace {

using lab::Ms;

class PairCountersLab : public lab::RigTest {
 protected:
  void SetUp() override {
    rig.ForgetInterfaces({"other0", "taken"});
    rig.AddVethPair("e1p0");
    rig.AddVethPair("e1p1");
    lab::ControllerSpec setup;
    setup.pid = lab::kTwoPortPid;
    setup.pairs = {lab::EthFunction::NoNetDir(), lab::EthFunction::NoNetDir()};
    rig.AddController(setup);
    rig.TrackPair(0, 0, "e1p0");
    rig.TrackPair(0, 1, "e1p1");
    rig.StartDaemon({"-n", "--debugmsg"});
  }
  const e1ctl::JsonValue& Pair(const e1ctl::JsonValue& doc, size_t i) {
    return doc.Get("pairs")->items.at(i);
  }
  // Waits until pair `i` has `renames` renames done and the last outcome
  // `outcome`; the document then.
  e1ctl::JsonValue WaitPair(size_t i, long long renames, const std::string& outcome) {
    e1ctl::JsonValue doc;
    lab::WaitUntil(
        [&] {
          doc = control_lab::Status(rig);
          return doc.Get("pairs") != nullptr && Pair(doc, i).Int("renames") == renames &&
                 Pair(doc, i).Str("lastOutcome") == outcome;
        },
        Ms(3000));
    return doc;
  }
};

TEST_F(PairCountersLab, RenamesDoneAndFailedAreCountedWithTheLastOutcome) {
  e1ctl::JsonValue doc = WaitPair(0, 0, "same");
  ASSERT_EQ(Pair(doc, 0).Str("lastOutcome"), "same");
  EXPECT_EQ(Pair(doc, 0).Str("wanted"), "e1p0");
  EXPECT_EQ(Pair(doc, 0).Int("renames"), 0);
  EXPECT_EQ(Pair(doc, 0).Int("renamesFailed"), 0);

  // Renamed behind the daemon's back, with the daemon held still so that no
  // pass sees it half-way: one rename undoes it.
  ASSERT_TRUE(Daemon().Signal(SIGSTOP));
  lab::RenameInterface("e1p0", "other0");
  rig.Net().SyncNow();
  ASSERT_TRUE(Daemon().Signal(SIGCONT));
  doc = WaitPair(0, 1, "same");
  EXPECT_EQ(Pair(doc, 0).Int("renames"), 1);
  EXPECT_EQ(Pair(doc, 0).Int("renamesFailed"), 0);
  EXPECT_EQ(Pair(doc, 0).Str("current"), "e1p0");
  EXPECT_EQ(Pair(doc, 1).Int("renames"), 0) << "the other pair was left alone";

  // The wanted name taken by an interface that is no pair's: every pass
  // fails once and counts it; the output says how many passes tried.
  ASSERT_TRUE(Daemon().Signal(SIGSTOP));
  lab::RenameInterface("e1p0", "other0");
  lab::CreateVethPair("taken", "takenpeer");
  lab::RenameInterface("taken", "e1p0");
  rig.Net().SyncNow();
  ASSERT_TRUE(Daemon().Signal(SIGCONT));
  const std::string error = "Error renaming 'other0' to 'e1p0'";
  ASSERT_TRUE(
      lab::WaitUntil([&] { return lab::CountOf(Daemon().Output(), error) >= 3; }, Ms(3000)));
  doc = control_lab::Status(rig);
  EXPECT_EQ(Pair(doc, 0).Str("lastOutcome"), "failed");
  EXPECT_EQ(Pair(doc, 0).Str("current"), "other0");
  EXPECT_EQ(Pair(doc, 0).Int("renames"), 1);
  EXPECT_GE(Pair(doc, 0).Int("renamesFailed"), 2);

  // Freed again: the next rename succeeds and the outcome goes back. Once
  // its line is out every failure before it is logged too, and each failed
  // pass counted exactly once.
  lab::DeleteInterface("e1p0");
  doc = WaitPair(0, 2, "same");
  EXPECT_EQ(Pair(doc, 0).Int("renames"), 2);
  EXPECT_EQ(Pair(doc, 0).Str("current"), "e1p0");
  const std::string renamed = "Port 'other0' renamed to 'e1p0'\n";
  ASSERT_TRUE(
      lab::WaitUntil([&] { return lab::CountOf(Daemon().Output(), renamed) == 2; }, Ms(3000)));
  EXPECT_EQ(Pair(doc, 0).Int("renamesFailed"),
            static_cast<long long>(lab::CountOf(Daemon().Output(), error)));
}

}  // namespace
