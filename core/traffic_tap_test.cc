// The traffic tap's ring: entries copied out in order, a reader that falls
// more than the ring behind told how many it lost, pushes cut to the
// entry's size and without their line end.
#include "core/traffic_tap.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

class TapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tap_ = new TrafficTap();
    InitTrafficTap(tap_);
    ASSERT_EQ(OpenTrafficTap(tap_), 0);
  }
  void TearDown() override {
    free(tap_->ring);
    pthread_mutex_destroy(&tap_->lock);
    delete tap_;
  }
  void Push(const std::string& text, int port = 0) {
    PushTap(tap_, port, TapDir::kRx, TapOutcome::kDelivered, text.data(), text.size());
  }
  std::vector<std::string> Copy(uint64_t* cursor, uint64_t* lost, size_t max = 1000) {
    std::vector<TapEntry> out(max);
    size_t n = CopyTapEntries(tap_, cursor, lost, out.data(), max);
    std::vector<std::string> texts;
    for (size_t i = 0; i < n; ++i) texts.emplace_back(out[i].text, out[i].len);
    return texts;
  }
  TrafficTap* tap_ = nullptr;
};

TEST_F(TapTest, EntriesComeOutInOrderWithoutTheirLineEnds) {
  EXPECT_FALSE(TapWanted(tap_));
  tap_->monitors = 1;
  EXPECT_TRUE(TapWanted(tap_));
  uint64_t cursor = TapPushed(tap_), lost = 0;
  Push("ACK:E1.0:one\r\n");
  Push("two\n", 1);
  Push("three");
  EXPECT_EQ(Copy(&cursor, &lost, 2), (std::vector<std::string>{"ACK:E1.0:one", "two"}));
  EXPECT_EQ(Copy(&cursor, &lost), std::vector<std::string>{"three"});
  EXPECT_EQ(Copy(&cursor, &lost), std::vector<std::string>{});
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(cursor, 3u);
}

TEST_F(TapTest, AReaderTooFarBehindLosesTheOldestAndIsToldHowMany) {
  uint64_t slow = 0, lost = 0;
  for (int i = 0; i < kTapEntries + 10; ++i) Push("line" + std::to_string(i));
  std::vector<std::string> got = Copy(&slow, &lost);
  EXPECT_EQ(lost, 10u);
  ASSERT_EQ(got.size(), static_cast<size_t>(kTapEntries));
  EXPECT_EQ(got.front(), "line10");
  EXPECT_EQ(got.back(), "line" + std::to_string(kTapEntries + 9));
}

TEST_F(TapTest, ALongLineIsCutToTheEntry) {
  uint64_t cursor = 0, lost = 0;
  Push(std::string(kTapTextMax + 40, 'x') + "\n");
  std::vector<std::string> got = Copy(&cursor, &lost);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], std::string(kTapTextMax, 'x'));
}

TEST(TapNames, OutcomesAndDirectionsAsTheMonitorWritesThem) {
  EXPECT_STREQ(TapDirName(TapDir::kTx), "tx");
  EXPECT_STREQ(TapDirName(TapDir::kRx), "rx");
  EXPECT_STREQ(TapOutcomeName(TapOutcome::kSent), "sent");
  EXPECT_STREQ(TapOutcomeName(TapOutcome::kDelivered), "delivered");
  EXPECT_STREQ(TapOutcomeName(TapOutcome::kNoClient), "no-client");
  EXPECT_STREQ(TapOutcomeName(TapOutcome::kQueueFull), "queue-full");
  EXPECT_STREQ(TapOutcomeName(TapOutcome::kAfterEof), "after-eof");
  EXPECT_STREQ(TapOutcomeName(TapOutcome::kEof), "eof");
  EXPECT_STREQ(TapOutcomeName(TapOutcome::kNotAReply), "not-a-reply");
}

}  // namespace
