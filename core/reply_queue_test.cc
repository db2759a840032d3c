#include "core/reply_queue.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

std::string Queued(const ReplyQueue& q) {
  std::string s;
  for (size_t i = 0; i < q.len; ++i) s += q.buf[(q.head + i) % q.cap];
  return s;
}

TEST(ReplyQueue, WholeLinesGoInUntilTheFirstThatDoesNotFit) {
  ReplyQueue q;
  ASSERT_EQ(OpenReplyQueue(&q, 16), 0);
  // A last piece without line feed counts as a line.
  EXPECT_EQ(PushWholeLines(&q, "abc\ndefgh\nij", 12), 12u);
  // 4 bytes left: a 5-byte line stays out, and so does everything after it.
  EXPECT_EQ(PushWholeLines(&q, "0123\nx\n", 7), 0u);
  EXPECT_EQ(PushWholeLines(&q, "x\nyyy\nz\n", 8), 2u);
  EXPECT_EQ(Queued(q), "abc\ndefgh\nijx\n");
  EXPECT_FALSE(PushReplyBytes(&q, "abc", 3));
  EXPECT_TRUE(PushReplyBytes(&q, "ab", 2));
  EXPECT_EQ(q.len, 16u);
  ClearReplyQueue(&q);
  EXPECT_EQ(q.len, 0u);
  CloseReplyQueue(&q);
  EXPECT_EQ(q.buf, nullptr);
  EXPECT_EQ(q.cap, 0u);
}

// Bytes pushed in pieces, written out as a small socket takes them and
// pushed again across the end of the ring, reach the reader unchanged and
// in order.
TEST(ReplyQueue, SendsInOrderAcrossTheEndOfTheRing) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  int small = 4096;
  ASSERT_EQ(setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ReplyQueue q;
  ASSERT_EQ(OpenReplyQueue(&q, 65536), 0);

  std::string expected, got;
  long next = 0;
  bool sawFull = false, sawWrap = false;
  for (int round = 0; round < 200; ++round) {
    // Push numbered lines until the queue is nearly full.
    for (;;) {
      std::string line = "line" + std::to_string(next) + std::string(next % 50, '.') + "\n";
      if (!PushReplyBytes(&q, line.data(), line.size())) break;
      expected += line;
      ++next;
    }
    if (q.head + q.len > q.cap) sawWrap = true;
    size_t before = q.len;
    ssize_t n = SendQueuedReplies(&q, sv[0]);
    ASSERT_GE(n, 0) << strerror(errno);
    EXPECT_EQ(static_cast<size_t>(n), before - q.len);
    if (q.len > 0) sawFull = true;
    char buf[65536];
    ssize_t r;
    while ((r = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, r);
  }
  while (q.len > 0) {
    ASSERT_GE(SendQueuedReplies(&q, sv[0]), 0);
    char buf[65536];
    ssize_t r;
    while ((r = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, r);
  }
  EXPECT_TRUE(sawFull) << "the socket never filled: partial sends untried";
  EXPECT_TRUE(sawWrap) << "the ring never wrapped";
  EXPECT_EQ(got, expected);
  CloseReplyQueue(&q);
  close(sv[0]);
  close(sv[1]);
}

TEST(ReplyQueue, AGoneClientIsAnErrorNotASignal) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  close(sv[1]);
  ReplyQueue q;
  ASSERT_EQ(OpenReplyQueue(&q, 64), 0);
  ASSERT_TRUE(PushReplyBytes(&q, "late\n", 5));
  // SIGPIPE would end the test binary.
  EXPECT_EQ(SendQueuedReplies(&q, sv[0]), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(q.len, 5u);
  CloseReplyQueue(&q);
  close(sv[0]);
}

}  // namespace
