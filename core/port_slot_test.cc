// The hand-off of replies between the serial thread and a port's client,
// over a socketpair: the slot's end is the daemon's accepted socket, the
// other end is the client. Both threads' halves are called in turn from
// the test, in the orders in which the two threads can meet.
#include "core/port_slot.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "core/controller.h"
#include "core/log.h"
#include "core/run_options.h"

namespace {

// Reads what has arrived at `fd` without waiting; sets *eof once the other
// side is shut down.
std::string ReadNow(int fd, bool* eof = nullptr) {
  std::string got;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      got.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0 && eof != nullptr) *eof = true;
    return got;
  }
}

bool Readable(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

// The daemon's side of `fd` filled up with '#' until it takes no byte more:
// a client that has stopped reading. Returns the bytes it took.
size_t FillUp(int fd) {
  size_t filled = 0;
  const std::string block(512, '#');
  for (size_t piece : {block.size(), size_t{1}}) {
    for (;;) {
      ssize_t n = send(fd, block.data(), piece, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n <= 0) break;
      filled += static_cast<size_t>(n);
    }
  }
  return filled;
}

// What LogMessage prints while `body` runs. Nothing in `body` may report a
// test failure: gtest's own output would land in the capture.
template <class Body>
std::string CaptureLog(Body body) {
  fflush(stdout);
  FILE* capture = tmpfile();
  if (capture == nullptr) return "tmpfile failed";
  int saved = dup(STDOUT_FILENO);
  dup2(fileno(capture), STDOUT_FILENO);
  body();
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string out;
  rewind(capture);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, capture)) > 0) out.append(buf, n);
  fclose(capture);
  return out;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Numbered reply lines of one length, so that none fits where another did
// not.
std::string Line(int i) {
  char buf[64];
  snprintf(buf, sizeof buf, "reply %06d ................................\n", i);
  return buf;
}

class PortSlotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedOptions_ = g_options;
    SetDefaultRunOptions();  // level 4: the drop report is printed
    InitControllerRecord(&c_);
    ASSERT_EQ(pthread_mutex_init(&c_.lock, nullptr), 0);
    slot_ = &c_.ports[1];
    slot_->controller = &c_;
    ASSERT_EQ(OpenPortResources(slot_), 0);
    client_ = Connect();
  }

  void TearDown() override {
    if (slot_->clientFd.load() >= 0) ClosePortClient(slot_);
    if (client_ >= 0) close(client_);
    ClosePortResources(slot_);
    pthread_mutex_destroy(&c_.lock);
    for (E1PortSlot& s : c_.ports) pthread_mutex_destroy(&s.clientLock);
    g_options = savedOptions_;
  }

  // A new client, attached as the port thread does after its accept;
  // returns the client's end.
  int Connect() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    int small = 4096;  // a few KB fill it
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    AttachPortClient(slot_, sv[0]);
    return sv[1];
  }

  // The port thread at work while the client reads: the queue is written
  // out until it is empty. Returns what the client read meanwhile.
  std::string DrainQueue(bool* eof = nullptr) {
    std::string got;
    for (int turn = 0; turn < 100000 && HasQueuedReplies(slot_); ++turn) {
      got += ReadNow(client_, eof);
      WriteQueuedReplies(slot_);
    }
    return got + ReadNow(client_, eof);
  }

  void Write(const std::string& text) { WriteReplyToClient(slot_, text.data(), text.size()); }

  RunOptions savedOptions_;
  E1Controller c_;
  E1PortSlot* slot_ = nullptr;
  int client_ = -1;
};

TEST_F(PortSlotTest, ABurstGoesOutAtOnceAndTheRestOfOneOnAFullSocketIsQueued) {
  Write("OK\nstatus 1\n");
  EXPECT_EQ(ReadNow(client_), "OK\nstatus 1\n");
  EXPECT_FALSE(HasQueuedReplies(slot_));
  EXPECT_FALSE(Readable(slot_->wakeFd)) << "the port thread was woken for nothing";

  // More than the socket takes: what it took is there at once, the rest
  // waits for the port thread, which is woken for it.
  std::string burst;
  for (int i = 0; i < 500; ++i) burst += Line(i);
  Write(burst);
  std::string first = ReadNow(client_);
  EXPECT_GT(first.size(), 0u);
  EXPECT_LT(first.size(), burst.size());
  EXPECT_TRUE(HasQueuedReplies(slot_));
  EXPECT_TRUE(Readable(slot_->wakeFd));
  // Cut anywhere by the socket, the burst arrives whole and in order.
  EXPECT_EQ(first + DrainQueue(), burst);
}

TEST_F(PortSlotTest, AFullQueueDropsWholeLinesAndReportsOncePerStall) {
  const std::string report =
      std::string("TTY_loop: write error (errno=11): ") + strerror(EAGAIN) + "\n";
  int next = 0;
  size_t sent = 0;
  // Bursts of 80 lines into a full socket: the first bursts fill the queue,
  // the later ones find no room.
  auto stall = [&] {
    size_t filler = FillUp(slot_->clientFd.load());
    std::string log = CaptureLog([&] {
      for (int burst = 0; burst < 20; ++burst) {
        std::string text;
        for (int i = 0; i < 80; ++i) text += Line(next++);
        sent += text.size();
        Write(text);
      }
    });
    std::string got = DrainQueue();
    EXPECT_EQ(got.substr(0, filler), std::string(filler, '#'));
    got.erase(0, filler);
    return std::make_pair(log, got);
  };

  auto [log, got] = stall();
  EXPECT_EQ(Count(log, report), 1) << log;
  EXPECT_GT(sent, static_cast<size_t>(kReplyQueueBytes)) << "nothing had to be dropped";
  // What arrives is the lines that found room, each whole, from the first
  // on: a line that does not fit is dropped, never cut.
  ASSERT_GT(got.size(), 0u);
  EXPECT_LE(got.size(), static_cast<size_t>(kReplyQueueBytes));
  size_t lines = got.size() / Line(0).size();
  std::string expected;
  for (size_t i = 0; i < lines; ++i) expected += Line(static_cast<int>(i));
  EXPECT_EQ(got, expected);

  // The queue was empty again: the next stall is reported again, once.
  int firstOfSecond = next;
  auto [log2, got2] = stall();
  EXPECT_EQ(Count(log2, report), 1) << log2;
  ASSERT_GE(got2.size(), Line(0).size());
  EXPECT_EQ(got2.substr(0, Line(0).size()), Line(firstOfSecond));
}

TEST_F(PortSlotTest, LaterRepliesJoinTheQueueBehindWhatWaits) {
  size_t filler = FillUp(slot_->clientFd.load());
  Write("first\n");
  ASSERT_TRUE(HasQueuedReplies(slot_));
  // The client reads again, so the socket has room, but "first" still
  // waits in the queue: "second" must not overtake it.
  EXPECT_EQ(ReadNow(client_), std::string(filler, '#'));
  Write("second\nthird\n");
  EXPECT_EQ(ReadNow(client_), "") << "a later reply went past the queue";
  EXPECT_EQ(DrainQueue(), "first\nsecond\nthird\n");
  // Once the queue is out, replies go straight to the client again.
  Write("fourth\n");
  EXPECT_FALSE(HasQueuedReplies(slot_));
  EXPECT_EQ(ReadNow(client_), "fourth\n");
}

TEST_F(PortSlotTest, AnEndOfFileReplyShutsTheClientDownOnlyOnceTheQueueIsOut) {
  size_t filler = FillUp(slot_->clientFd.load());
  Write("last words\n");
  ShutdownClient(slot_);
  // Lines after the end-of-file reply go nowhere.
  Write("after the end\n");
  bool eof = false;
  std::string got = ReadNow(client_, &eof);
  EXPECT_FALSE(eof) << "shut down with replies still queued";
  got += DrainQueue(&eof);
  EXPECT_TRUE(eof) << "never shut down after the queue was out";
  EXPECT_EQ(got, std::string(filler, '#') + "last words\n");

  // Nothing queued: the client is shut down at once.
  ClosePortClient(slot_);
  close(client_);
  client_ = Connect();
  Write("bye\n");
  ShutdownClient(slot_);
  eof = false;
  EXPECT_EQ(ReadNow(client_, &eof), "bye\n");
  EXPECT_TRUE(eof);
}

TEST_F(PortSlotTest, ANewClientGetsNothingFromBeforeItsAccept) {
  // The first client stops reading with replies queued, then leaves after
  // the controller's end-of-file reply; the port thread closes it.
  FillUp(slot_->clientFd.load());
  Write("for the first client\n");
  ShutdownClient(slot_);
  ClosePortClient(slot_);
  close(client_);
  // A slot without a client has nothing to write out, and what is routed
  // to it meanwhile reaches nobody.
  EXPECT_FALSE(HasQueuedReplies(slot_));
  Write("while nobody listens\n");
  ShutdownClient(slot_);

  // The next client (very likely on the same descriptor number) takes only
  // what comes after its accept.
  client_ = Connect();
  EXPECT_EQ(ReadNow(client_), "");
  Write("for the second client\n");
  EXPECT_EQ(ReadNow(client_) + DrainQueue(), "for the second client\n");
}

TEST_F(PortSlotTest, AReplayRequestWakesThePortThread) {
  ASSERT_FALSE(Readable(slot_->wakeFd));
  RequestReplay(slot_);
  EXPECT_EQ(slot_->replayRequested.load(), 1);
  EXPECT_TRUE(Readable(slot_->wakeFd));
}

}  // namespace
