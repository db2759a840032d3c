// e1ctl's JSON reader and what status makes of a document: the table for
// people and the health behind the exit status.
#include "tools/e1ctl/json_value.h"

#include <gtest/gtest.h>

#include <string>

#include "tools/e1ctl/exit_status.h"
#include "tools/e1ctl/status_table.h"

namespace e1ctl {
namespace {

JsonValue Parse(const std::string& text) {
  JsonValue v;
  std::string error;
  EXPECT_TRUE(ParseJson(text, &v, &error)) << error << ": " << text;
  return v;
}

TEST(JsonReader, ReadsEveryKindAndKeepsTheKeysInOrder) {
  JsonValue v = Parse(R"( {"b":1,"a":[true,false,null,-2.5],"s":"x\"\\\u0041\n","o":{}} )");
  ASSERT_EQ(v.kind, JsonValue::kObject);
  EXPECT_EQ(v.keys, (std::vector<std::string>{"b", "a", "s", "o"}));
  EXPECT_EQ(v.Int("b"), 1);
  const JsonValue* a = v.Get("a");
  ASSERT_EQ(a->items.size(), 4u);
  EXPECT_TRUE(a->items[0].boolean);
  EXPECT_EQ(a->items[1].kind, JsonValue::kBool);
  EXPECT_EQ(a->items[2].kind, JsonValue::kNull);
  EXPECT_EQ(a->items[3].number, -2.5);
  EXPECT_EQ(v.Str("s"), "x\"\\A\n");
  EXPECT_EQ(v.Get("o")->kind, JsonValue::kObject);
  EXPECT_EQ(v.Get("missing"), nullptr);
  EXPECT_EQ(v.Str("b"), "") << "not a string";
}

TEST(JsonReader, RefusesWhatIsNotOneValue) {
  JsonValue v;
  std::string error;
  for (const char* bad :
       {"", "{", "[1,]", "{\"a\"}", "{\"a\":1} x", "\"open", "tru", "{1:2}", "\"\x01\""}) {
    EXPECT_FALSE(ParseJson(bad, &v, &error)) << bad;
    EXPECT_NE(error.find("not JSON"), std::string::npos);
  }
}

const char kDoc[] =
    R"({"version":"0.9_rc4","pid":42,"controller":"1-1.3:1.0",)"
    R"("uart":{"state":"open","tty":"ttyACM0"},)"
    R"("ports":[{"port":0,"client":true,"commandsSent":12,"repliesDelivered":10,)"
    R"("repliesDroppedNoClient":1,"repliesDroppedQueueFull":2,"repliesDroppedAfterEof":3},)"
    R"({"port":1,"client":false,"commandsSent":0,"repliesDelivered":0}]})";

TEST(StatusTable, OneLinePerPortWithTheDropsSummed) {
  EXPECT_EQ(StatusTable(Parse(kDoc)),
            "1-1.3:1.0\n"
            "  daemon: pid 42, e1ctld 0.9_rc4\n"
            "  uart:   open ttyACM0\n"
            "  port  client  commands  replies  dropped\n"
            "  0     yes           12       10        6\n"
            "  1     no             0        0        0\n");
}

TEST(StatusTable, HealthAndExitStatuses) {
  EXPECT_EQ(DocumentHealth(Parse(kDoc)), Health::kServed);
  EXPECT_EQ(DocumentHealth(Parse(R"({"uart":{"state":"lost"}})")), Health::kUartDown);
  EXPECT_EQ(DocumentHealth(Parse(R"({"uart":{"state":"never-opened"}})")), Health::kUartDown);
  EXPECT_EQ(DocumentHealth(Parse("{}")), Health::kUartDown);
  EXPECT_EQ(HealthExitStatus(Health::kServed), kOk);
  EXPECT_EQ(HealthExitStatus(Health::kUartDown), 8);
  EXPECT_EQ(HealthExitStatus(Health::kNoDaemon), 9);
  EXPECT_EQ(HealthExitStatus(Health::kUnknown), 10);
  EXPECT_LT(Health::kServed, Health::kUartDown);
  EXPECT_LT(Health::kUartDown, Health::kNoDaemon);
  EXPECT_LT(Health::kNoDaemon, Health::kUnknown);
}

}  // namespace
}  // namespace e1ctl
