// The control socket's answers without a socket: the requests and what
// they get, the monitor's line format, and the JSON strings of the status
// document.
#include "daemon/control_socket.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "core/run_options.h"
#include "daemon/status_json.h"

namespace {

class ControlAnswers : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_options;
    SetDefaultRunOptions();
    g_options.quiet = 1;  // the level change is not printed
    c_ = new E1Controller();
    InitControllerRecord(c_);
    c_->usbIfName = strdup("1-1.3:1.0");
    c_->vid = 0xc251;
    c_->pid = 0x5;
    c_->e1Ports = 2;
    c_->ethPairs = 1;
    pthread_mutex_init(&c_->lock, nullptr);
  }
  void TearDown() override {
    FreeControllerRecord(c_);
    delete c_;
    g_options = saved_;
  }
  std::string Answer(const std::string& line) {
    monitor_ = false;
    port_ = 9;
    return AnswerControlRequest(c_, line, &monitor_, &port_);
  }
  E1Controller* c_ = nullptr;
  RunOptions saved_;
  bool monitor_ = false;
  int port_ = 9;
};

TEST_F(ControlAnswers, LogLevelIsReadAndSetWithinItsRange) {
  EXPECT_EQ(Answer("log-level"), "level 4\n");
  EXPECT_EQ(Answer("log-level 6"), "ok 4 6\n");
  EXPECT_EQ(g_options.logLevel.Get(), 6);
  EXPECT_EQ(Answer("log-level"), "level 6\n");
  for (const char* bad : {"log-level 8", "log-level -1", "log-level 10", "log-level x"}) {
    EXPECT_EQ(Answer(bad), "error unknown request\n") << bad;
  }
  EXPECT_EQ(g_options.logLevel.Get(), 6);
  EXPECT_FALSE(monitor_);
}

TEST_F(ControlAnswers, MonitorTakesAnOptionalPort) {
  EXPECT_EQ(Answer("monitor"), "ok\n");
  EXPECT_TRUE(monitor_);
  EXPECT_EQ(port_, -1);
  EXPECT_EQ(Answer("monitor 2"), "ok\n");
  EXPECT_EQ(port_, 2);
  EXPECT_EQ(Answer("monitor 3"), "error unknown request\n");
  EXPECT_FALSE(monitor_);
  EXPECT_EQ(port_, 9);
}

TEST_F(ControlAnswers, StatusIsOneLineOfJsonAndOtherWordsAreRefused) {
  std::string doc = Answer("status");
  ASSERT_FALSE(doc.empty());
  EXPECT_EQ(doc.find('\n'), doc.size() - 1);
  EXPECT_EQ(doc.rfind("{\"version\":\"0.9_rc4\",\"pid\":", 0), 0u) << doc;
  for (const char* part : {"\"controller\":\"1-1.3:1.0\",\"vid\":\"C251\",\"pid16\":\"0005\",",
                           "\"uart\":{\"state\":\"never-opened\",", "\"lastLossMs\":null,",
                           "{\"port\":1,\"socket\":null,\"client\":false,\"clientSinceMs\":null,",
                           "\"pairs\":[{\"pair\":0,\"wanted\":null,\"current\":null,\"up\":false,",
                           "\"lastOutcome\":\"none\"}]}\n"}) {
    EXPECT_NE(doc.find(part), std::string::npos) << part << " in " << doc;
  }
  EXPECT_EQ(doc.find("\"port\":2"), std::string::npos) << "two ports only";
  for (const char* bad : {"", "status now", "STATUS", "help"}) {
    EXPECT_EQ(Answer(bad), "error unknown request\n") << bad;
  }
}

TEST(MonitorLine, FieldsInOrderAndTheTextEscaped) {
  TapEntry e = {};
  e.usec = 1700000000123456;
  e.port = -1;
  e.dir = TapDir::kRx;
  e.outcome = TapOutcome::kNotAReply;
  const char text[] = "a\\b\x1b\r";
  e.len = sizeof text - 1;
  memcpy(e.text, text, e.len);
  EXPECT_EQ(FormatMonitorLine("1-1.3:1.0", e),
            "1700000000123456 1-1.3:1.0 - rx not-a-reply a\\\\b\\x1b\\r\n");
  e.port = 1;
  e.dir = TapDir::kTx;
  e.outcome = TapOutcome::kSent;
  e.len = 0;
  EXPECT_EQ(FormatMonitorLine("x", e), "1700000000123456 x 1 tx sent \n");
}

TEST(JsonStrings, QuotesBackslashesAndControlsAreEscaped) {
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString(std::string("\n\x01\x7f", 3)), "\"\\u000a\\u0001\\u007f\"");
}

}  // namespace
