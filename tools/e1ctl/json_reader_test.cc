#include "tools/e1ctl/json_reader.h"

#include <gtest/gtest.h>

#include <string>

namespace e1ctl {
namespace {

JsonValue Read(const std::string& text) {
  JsonValue v;
  std::string error;
  EXPECT_TRUE(ReadJson(text, &v, &error)) << text << ": " << error;
  return v;
}

// The error for `text`, which must not be read.
std::string ErrorOf(const std::string& text) {
  JsonValue v;
  std::string error;
  EXPECT_FALSE(ReadJson(text, &v, &error)) << "read: " << text;
  return error;
}

TEST(JsonReader, ScalarsKeepTheirKindValueAndLiteral) {
  EXPECT_EQ(Read("null").kind, JsonValue::kNull);
  JsonValue t = Read(" true ");
  EXPECT_EQ(t.kind, JsonValue::kBool);
  EXPECT_TRUE(t.boolean);
  JsonValue f = Read("\tfalse\r\n");
  EXPECT_EQ(f.kind, JsonValue::kBool);
  EXPECT_FALSE(f.boolean);

  JsonValue i = Read("-1234567890123");
  EXPECT_EQ(i.kind, JsonValue::kInteger);
  EXPECT_EQ(i.integer, -1234567890123LL);
  EXPECT_EQ(i.text, "-1234567890123");
  EXPECT_EQ(Read("0").integer, 0);
  EXPECT_EQ(Read("9223372036854775807").integer, 9223372036854775807LL);

  // Too large for an integer: a number, its literal kept.
  JsonValue big = Read("18446744073709551616");
  EXPECT_EQ(big.kind, JsonValue::kNumber);
  EXPECT_EQ(big.text, "18446744073709551616");
  EXPECT_DOUBLE_EQ(big.number, 18446744073709551616.0);

  JsonValue d = Read("-0.5e+2");
  EXPECT_EQ(d.kind, JsonValue::kNumber);
  EXPECT_DOUBLE_EQ(d.number, -50.0);
  EXPECT_EQ(Read("1E3").kind, JsonValue::kNumber);
  EXPECT_DOUBLE_EQ(Read("2.25").number, 2.25);
}

TEST(JsonReader, StringsDecodeEveryEscape) {
  EXPECT_EQ(Read(R"("a\"b\\c\/d\be\ff\ng\rh\ti")").text, "a\"b\\c/d\be\ff\ng\rh\ti");
  EXPECT_EQ(Read(R"("\u0041\u00e9\u20AC")").text, "A\xc3\xa9\xe2\x82\xac");
  EXPECT_EQ(Read(R"("\u0000x")").text, std::string("\0x", 2));
  EXPECT_EQ(Read(R"("\u001f")").text, "\x1f");
  // A surrogate pair: U+1F600.
  EXPECT_EQ(Read(R"("\ud83d\ude00")").text, "\xf0\x9f\x98\x80");
  // UTF-8 as it is.
  EXPECT_EQ(Read("\"gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80\"").text,
            "gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80");
  EXPECT_EQ(Read("\"\"").text, "");
}

TEST(JsonReader, ContainersKeepOrderAndNesting) {
  JsonValue v = Read(R"( {"b":1, "a":[true,null,"x",{"c":[]}], "e":{}} )");
  ASSERT_EQ(v.kind, JsonValue::kObject);
  ASSERT_EQ(v.members.size(), 3u);
  EXPECT_EQ(v.members[0].name, "b");
  EXPECT_EQ(v.members[1].name, "a");
  EXPECT_EQ(v.members[2].name, "e");
  const JsonValue* a = v.Find("a");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->kind, JsonValue::kArray);
  ASSERT_EQ(a->items.size(), 4u);
  EXPECT_EQ(a->items[0].kind, JsonValue::kBool);
  EXPECT_EQ(a->items[1].kind, JsonValue::kNull);
  EXPECT_EQ(a->items[2].text, "x");
  const JsonValue* c = a->items[3].Find("c");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->kind, JsonValue::kArray);
  EXPECT_TRUE(c->items.empty());
  EXPECT_EQ(v.Find("e")->kind, JsonValue::kObject);
  EXPECT_EQ(v.Find("missing"), nullptr);
  EXPECT_EQ(a->Find("b"), nullptr);  // not an object
  EXPECT_TRUE(Read("[]").items.empty());
  EXPECT_EQ(Read("[[[1]]]").items[0].items[0].items[0].integer, 1);
}

TEST(JsonReader, MalformedTextIsRefusedWithItsOffset) {
  EXPECT_EQ(ErrorOf(""), "offset 0: unexpected end of text, a value expected");
  EXPECT_EQ(ErrorOf("   "), "offset 3: unexpected end of text, a value expected");
  EXPECT_EQ(ErrorOf("{\"a\":1,}"), "offset 7: a member name (a string) expected");
  EXPECT_EQ(ErrorOf("[1,]"), "offset 3: not a value: unexpected character ']'");
  EXPECT_EQ(ErrorOf("[1 2]"), "offset 3: ',' or ']' expected");
  EXPECT_EQ(ErrorOf("{\"a\" 1}"), "offset 5: ':' expected after a member name");
  EXPECT_EQ(ErrorOf("{\"a\":1 \"b\":2}"), "offset 7: ',' or '}' expected");
  EXPECT_EQ(ErrorOf("{\"a\":1,\"a\":2}"), "offset 7: duplicate member name \"a\"");
  EXPECT_EQ(ErrorOf("{a:1}"), "offset 1: a member name (a string) expected");
  EXPECT_EQ(ErrorOf("{\"a\":1"), "offset 6: unexpected end of text in an object");
  EXPECT_EQ(ErrorOf("[1"), "offset 2: unexpected end of text in an array");
  EXPECT_EQ(ErrorOf("1 2"), "offset 2: text after the value");
  EXPECT_EQ(ErrorOf("{} x"), "offset 3: text after the value");
  EXPECT_EQ(ErrorOf("tru"), "offset 0: not a value (expected 'true')");
  EXPECT_EQ(ErrorOf("nul1"), "offset 0: not a value (expected 'null')");
  EXPECT_EQ(ErrorOf("True"), "offset 0: not a value: unexpected character 'T'");
  EXPECT_EQ(ErrorOf("// c\n1"), "offset 0: not a value: unexpected character '/'");
  EXPECT_EQ(ErrorOf("'a'"), "offset 0: not a value: unexpected character '''");
  EXPECT_EQ(ErrorOf("\x01"), "offset 0: not a value: unexpected character '\\x01'");
}

TEST(JsonReader, MalformedNumbersAreRefused) {
  EXPECT_EQ(ErrorOf("01"), "offset 1: leading zero in a number");
  EXPECT_EQ(ErrorOf("-01"), "offset 2: leading zero in a number");
  EXPECT_EQ(ErrorOf("-"), "offset 1: a digit expected in a number");
  EXPECT_EQ(ErrorOf("-a"), "offset 1: a digit expected in a number");
  EXPECT_EQ(ErrorOf("1."), "offset 2: a digit expected after '.'");
  EXPECT_EQ(ErrorOf(".5"), "offset 0: not a value: unexpected character '.'");
  EXPECT_EQ(ErrorOf("1e"), "offset 2: a digit expected in an exponent");
  EXPECT_EQ(ErrorOf("1e+"), "offset 3: a digit expected in an exponent");
  EXPECT_EQ(ErrorOf("+1"), "offset 0: not a value: unexpected character '+'");
  EXPECT_EQ(ErrorOf("0x10"), "offset 1: text after the value");
  EXPECT_EQ(ErrorOf("NaN"), "offset 0: not a value: unexpected character 'N'");
}

TEST(JsonReader, MalformedStringsAreRefused) {
  EXPECT_EQ(ErrorOf("\"abc"), "offset 0: unterminated string");
  EXPECT_EQ(ErrorOf("[\"a\\\"]"), "offset 1: unterminated string");
  EXPECT_EQ(ErrorOf("\"a\nb\""), "offset 2: control character in a string (must be escaped)");
  EXPECT_EQ(ErrorOf("\"\t\""), "offset 1: control character in a string (must be escaped)");
  EXPECT_EQ(ErrorOf(R"("\x41")"), "offset 1: unknown escape in a string");
  EXPECT_EQ(ErrorOf(R"("\u12")"), "offset 5: four hex digits expected after \\u");
  EXPECT_EQ(ErrorOf(R"("\u12G4")"), "offset 5: four hex digits expected after \\u");
  EXPECT_EQ(ErrorOf(R"("\ude00")"), "offset 1: a low surrogate without a high one");
  EXPECT_EQ(ErrorOf(R"("\ud83d")"), "offset 1: a high surrogate without a low one");
  EXPECT_EQ(ErrorOf(R"("\ud83d\u0041")"), "offset 1: a high surrogate without a low one");
  EXPECT_EQ(ErrorOf(R"("\ud83dx")"), "offset 1: a high surrogate without a low one");
  // Invalid UTF-8: a lone continuation byte, a cut sequence, an overlong
  // form, an encoded surrogate, a code point past U+10FFFF, a 0xff byte.
  EXPECT_EQ(ErrorOf("\"a\x80\""), "offset 2: invalid UTF-8 in a string");
  EXPECT_EQ(ErrorOf("\"\xc3\""), "offset 1: invalid UTF-8 in a string");
  EXPECT_EQ(ErrorOf("\"\xe2\x82"), "offset 1: invalid UTF-8 in a string");
  EXPECT_EQ(ErrorOf("\"\xc0\xaf\""), "offset 1: invalid UTF-8 in a string");
  EXPECT_EQ(ErrorOf("\"\xe0\x80\xaf\""), "offset 1: invalid UTF-8 in a string");
  EXPECT_EQ(ErrorOf("\"\xed\xa0\x80\""), "offset 1: invalid UTF-8 in a string");
  EXPECT_EQ(ErrorOf("\"\xf4\x90\x80\x80\""), "offset 1: invalid UTF-8 in a string");
  EXPECT_EQ(ErrorOf("\"\xff\""), "offset 1: invalid UTF-8 in a string");
}

TEST(JsonReader, NestingIsBounded) {
  std::string ok(kJsonMaxDepth, '[');
  ok += std::string(kJsonMaxDepth, ']');
  Read(ok);
  std::string deep(kJsonMaxDepth + 1, '[');
  deep += std::string(kJsonMaxDepth + 1, ']');
  EXPECT_EQ(ErrorOf(deep), "offset " + std::to_string(kJsonMaxDepth) + ": nested deeper than " +
                               std::to_string(kJsonMaxDepth));
  std::string objects;
  for (int i = 0; i <= kJsonMaxDepth; ++i) objects += "{\"a\":";
  EXPECT_NE(ErrorOf(objects + "1" + std::string(kJsonMaxDepth + 1, '}')).find("nested deeper"),
            std::string::npos);
}

}  // namespace
}  // namespace e1ctl
