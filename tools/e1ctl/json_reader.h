// A small, strict JSON reader (RFC 8259 grammar) into a plain tree: e1ctl
// reads the daemon's status documents with it and needs no JSON library.
// Strict: no trailing commas, comments, leading zeros, unescaped control
// characters, invalid UTF-8, lone surrogates, duplicate keys or text after
// the value; any of them is an error that names its byte offset.
#ifndef E1CTLD_TOOLS_E1CTL_JSON_READER_H_
#define E1CTLD_TOOLS_E1CTL_JSON_READER_H_

#include <string>
#include <vector>

namespace e1ctl {

struct JsonMember;

struct JsonValue {
  enum Kind { kNull, kBool, kInteger, kNumber, kString, kArray, kObject };
  Kind kind = kNull;
  bool boolean = false;             // kBool
  long long integer = 0;            // kInteger: a number without fraction or exponent that fits
  double number = 0;                // kInteger and kNumber
  std::string text;                 // kString: the decoded UTF-8; kInteger, kNumber: the literal
  std::vector<JsonValue> items;     // kArray
  std::vector<JsonMember> members;  // kObject, in document order

  // The member `key` of an object; nullptr when absent or not an object.
  const JsonValue* Find(const std::string& key) const;
  const JsonValue* Get(const std::string& key) const { return Find(key); }
  // The member `key` as an integer (0 when absent or not an integer), as a
  // string ("" when absent or not a string), as a bool (false likewise).
  long long Int(const std::string& key) const;
  std::string Str(const std::string& key) const;
  bool Bool(const std::string& key) const;
};

struct JsonMember {
  std::string name;
  JsonValue value;
};

// Objects and arrays may nest this deep at most (a bound on recursion).
constexpr int kJsonMaxDepth = 64;

// Reads the whole of `text` as one JSON value (white space around it
// allowed). On an error returns false with "offset N: what" in `*error`
// (N counts bytes from 0); `*out` then holds what was read so far.
bool ReadJson(const std::string& text, JsonValue* out, std::string* error);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_JSON_READER_H_
