#include "ports/command_block.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>

#include "core/run_options.h"

namespace {

std::string Format(const std::string& text, uint32_t port) {
  char line[kCommandLineSize];
  size_t n = FormatCommandLine(text.data(), text.size(), port, line);
  return std::string(line, n);
}

TEST(CommandBlock, EveryLineIsOneWholeCommandAndItsLineEnd) {
  EXPECT_EQ(Format("status", 1), "port E1.1 status\n");
  EXPECT_EQ(Format("stop\x1a", 2), "port E1.2 stop\x1a\n");  // forwarded all the same
  // A NUL ends the command; nothing before it, nothing to send.
  EXPECT_EQ(Format(std::string("ab\0cd", 5), 0), "port E1.0 ab\n");
  EXPECT_EQ(Format(std::string("\0cd", 3), 0), "");
  EXPECT_EQ(Format("", 0), "");

  for (uint32_t port = 0; port < 3; ++port) {
    std::string fits = Format(std::string(kMaxCommandChars, 'k'), port);
    EXPECT_EQ(fits.size(), kCommandLineChars);
    EXPECT_EQ(fits.back(), '\n');
    EXPECT_EQ(fits.find('k'), kCommandPrefixChars);
  }
}

TEST(CommandBlock, ACommandTooLongForALineIsDroppedWholeAndLogged) {
  RunOptions saved = g_options;
  SetDefaultRunOptions();
  testing::internal::CaptureStdout();
  std::string dropped = Format(std::string(kMaxCommandChars + 1, 'x'), 1);
  std::string huge = Format(std::string(1000, 'y'), 2);
  std::string log = testing::internal::GetCapturedStdout();
  g_options = saved;
  EXPECT_EQ(dropped, "");
  EXPECT_EQ(huge, "");
  EXPECT_EQ(log,
            "E1_thread: command of 116 characters for E1.1 dropped: too long for a line\n"
            "E1_thread: command of 1000 characters for E1.2 dropped: too long for a line\n");
}

// A controller whose UART stream is a memory buffer: what the blocks write.
class BlockSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_options;
    g_options.quiet = 1;
    InitControllerRecord(&c_);
    ASSERT_EQ(pthread_mutex_init(&c_.lock, nullptr), 0);
    ASSERT_EQ(pthread_cond_init(&c_.lineChanged, nullptr), 0);
    c_.e1Ports = 1;
    slot_ = &c_.ports[0];
    slot_->controller = &c_;
    stream_ = open_memstream(&data_, &size_);
    ASSERT_NE(stream_, nullptr);
    c_.wrFile = stream_;
  }
  void TearDown() override {
    fclose(stream_);
    free(data_);
    pthread_cond_destroy(&c_.lineChanged);
    pthread_mutex_destroy(&c_.lock);
    for (E1PortSlot& s : c_.ports) pthread_mutex_destroy(&s.clientLock);
    g_options = saved_;
  }
  std::string Wire() {
    fflush(stream_);
    return std::string(data_, size_);
  }
  // `count` commands "c<first>".. as one read of the client.
  void SendRead(int first, int count) {
    CommandBlockBuilder b;
    InitCommandBlockBuilder(&b, slot_);
    for (int i = first; i < first + count; ++i) {
      std::string cmd = "c" + std::to_string(i);
      AddCommandToBlock(&b, cmd.data(), cmd.size());
    }
    FinishCommandBlock(&b);
  }
  static std::string Lines(int first, int count) {
    std::string s;
    for (int i = first; i < first + count; ++i) s += "CMD:port E1.0 c" + std::to_string(i) + "\n";
    return s;
  }

  RunOptions saved_;
  E1Controller c_;
  E1PortSlot* slot_ = nullptr;
  FILE* stream_ = nullptr;
  char* data_ = nullptr;
  size_t size_ = 0;
};

TEST_F(BlockSendTest, AReadOfManyCommandsGoesOutWholeAndTheLastBlockIsStored) {
  for (int count : {33, 64, 200}) {
    SCOPED_TRACE(count);
    size_t before = Wire().size();
    SendRead(0, count);
    EXPECT_EQ(Wire().substr(before), Lines(0, count));
    // The stored block, what a replay resends, is the last block sent.
    int last = count % kMaxBlockCommands == 0 ? kMaxBlockCommands : count % kMaxBlockCommands;
    ASSERT_EQ(slot_->commandCount, last);
    EXPECT_EQ(std::string(slot_->commands[0]), "port E1.0 c" + std::to_string(count - last) + "\n");

    // A replay resends exactly that block.
    before = Wire().size();
    slot_->replayRequested = 1;
    ServeReplay(slot_);
    EXPECT_EQ(Wire().substr(before), Lines(count - last, last));
    EXPECT_EQ(slot_->replayRequested.load(), 0);
  }
}

TEST_F(BlockSendTest, ABlockForAClosedLineWaitsAndGoesAfterTheReplayOfTheOneBefore) {
  SendRead(0, 2);  // stored: c0 c1
  ASSERT_EQ(Wire(), Lines(0, 2));

  // The line is lost: a new block waits for it instead of vanishing.
  pthread_mutex_lock(&c_.lock);
  c_.wrFile = nullptr;
  pthread_mutex_unlock(&c_.lock);
  std::thread port([this] { SendRead(2, 3); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Wire(), Lines(0, 2));

  // The line opens again and asks for a replay, as an opening does.
  pthread_mutex_lock(&c_.lock);
  c_.wrFile = stream_;
  slot_->replayRequested = 1;
  pthread_cond_broadcast(&c_.lineChanged);
  pthread_mutex_unlock(&c_.lock);
  port.join();
  EXPECT_EQ(Wire(), Lines(0, 2) + Lines(0, 2) + Lines(2, 3));
  EXPECT_EQ(slot_->replayRequested.load(), 0);
  EXPECT_EQ(slot_->commandCount, 3);

  // No replay asked for: a new block goes out alone.
  SendRead(5, 1);
  EXPECT_EQ(Wire(), Lines(0, 2) + Lines(0, 2) + Lines(2, 3) + Lines(5, 1));
}

}  // namespace
