// A small JSON reader for the daemon's status documents: objects (keys in
// their order), arrays, strings, numbers, true, false, null. Pure.
#ifndef E1CTLD_TOOLS_E1CTL_JSON_VALUE_H_
#define E1CTLD_TOOLS_E1CTL_JSON_VALUE_H_

#include <string>
#include <vector>

namespace e1ctl {

struct JsonValue {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool boolean = false;
  double number = 0;
  std::string text;              // kString
  std::vector<JsonValue> items;  // kArray
  // kObject: the keys in their order, and the value of each.
  std::vector<std::string> keys;
  std::vector<JsonValue> values;

  // The field `key` of an object, or null when there is none.
  const JsonValue* Get(const std::string& key) const;
  // The field as a number (0 when missing or not a number), as text ("" when
  // missing or not a string), as a bool (false likewise).
  long long Int(const std::string& key) const;
  std::string Str(const std::string& key) const;
  bool Bool(const std::string& key) const;
};

// Parses one JSON value that fills `text` (blanks around it allowed);
// false, with the place in `error`, when it is not one.
bool ParseJson(const std::string& text, JsonValue* out, std::string* error);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_JSON_VALUE_H_
