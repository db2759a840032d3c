// Client bytes in the log: printable text stays, everything that could end
// a line, forge one or reach the terminal is escaped.
#include "core/log_escape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(EscapeForLog, PrintableTextStaysAsItIs) {
  EXPECT_EQ(EscapeForLog("port E1.0 status ~!{}|"), "port E1.0 status ~!{}|");
  EXPECT_EQ(EscapeForLog(""), "");
}

TEST(EscapeForLog, LineEndsControlsAndHighBytesAreEscaped) {
  EXPECT_EQ(EscapeForLog("a\nb\r\n"), "a\\nb\\r\\n");
  EXPECT_EQ(EscapeForLog(std::string("x\0y", 3)), "x\\x00y");
  EXPECT_EQ(EscapeForLog("\x1b[31mred"), "\\x1b[31mred");
  EXPECT_EQ(EscapeForLog("\t\x01\x1f\x7f"), "\\x09\\x01\\x1f\\x7f");
  EXPECT_EQ(EscapeForLog("\x80\xc3\xa9\xff"), "\\x80\\xc3\\xa9\\xff");
  // A backslash is doubled, so that an escape in the log is always ours.
  EXPECT_EQ(EscapeForLog("C:\\x00"), "C:\\\\x00");
}

TEST(EscapeForLog, ALineFeedCannotStartALineOfItsOwn) {
  // What a client would send to forge a line under the journal.
  std::string shown = EscapeForLog("ok\n<3>E1_thread: Can't bind to socket\n");
  EXPECT_EQ(shown.find('\n'), std::string::npos) << shown;
  EXPECT_EQ(shown, "ok\\n<3>E1_thread: Can't bind to socket\\n");
}

TEST(EscapeForLog, EveryByteValueGivesPrintableText) {
  for (int b = 0; b < 256; ++b) {
    std::string in(1, static_cast<char>(b));
    std::string out = EscapeForLog(in);
    ASSERT_GE(out.size(), 1u);
    ASSERT_LE(out.size(), kLogEscapeMaxPerByte);
    for (char c : out) ASSERT_TRUE(c >= 0x20 && c <= 0x7e) << "byte " << b;
    char buf[kLogEscapeMaxPerByte + 1];
    EXPECT_EQ(EscapeForLog(in.data(), 1, buf, sizeof buf), out.size());
    EXPECT_EQ(std::string(buf), out) << "byte " << b;
  }
}

TEST(EscapeForLog, BufferFormCutsOnlyBetweenWholeEscapes) {
  const char data[] = "ab\ncd";
  char buf[64];
  EXPECT_EQ(EscapeForLog(data, 5, buf, sizeof buf), 6u);
  EXPECT_STREQ(buf, "ab\\ncd");
  // Room for "ab" and half of "\n": the escape is left out whole.
  EXPECT_EQ(EscapeForLog(data, 5, buf, 4), 2u);
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(EscapeForLog(data, 5, buf, 5), 4u);
  EXPECT_STREQ(buf, "ab\\n");
  EXPECT_EQ(EscapeForLog(data, 5, buf, 1), 0u);
  EXPECT_STREQ(buf, "");
  buf[0] = 'z';
  EXPECT_EQ(EscapeForLog(data, 5, buf, 0), 0u);
  EXPECT_EQ(buf[0], 'z');
  // The documented size always holds everything.
  const char worst[] = "\x01\x02\x03";
  char exact[3 * kLogEscapeMaxPerByte + 1];
  EXPECT_EQ(EscapeForLog(worst, 3, exact, sizeof exact), 12u);
  EXPECT_STREQ(exact, "\\x01\\x02\\x03");
}

}  // namespace
