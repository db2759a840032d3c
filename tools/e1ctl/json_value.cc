#include "tools/e1ctl/json_value.h"

#include <stdlib.h>

namespace e1ctl {

const JsonValue* JsonValue::Get(const std::string& key) const {
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) return &values[i];
  }
  return nullptr;
}

long long JsonValue::Int(const std::string& key) const {
  const JsonValue* v = Get(key);
  return v != nullptr && v->kind == kNumber ? static_cast<long long>(v->number) : 0;
}

std::string JsonValue::Str(const std::string& key) const {
  const JsonValue* v = Get(key);
  return v != nullptr && v->kind == kString ? v->text : "";
}

bool JsonValue::Bool(const std::string& key) const {
  const JsonValue* v = Get(key);
  return v != nullptr && v->kind == kBool && v->boolean;
}

namespace {

class Parser {
 public:
  explicit Parser(const std::string& s) : s_(s) {}

  bool Value(JsonValue* v, int depth) {
    Blanks();
    if (depth > 32 || i_ >= s_.size()) return false;
    char c = s_[i_];
    if (c == '{') return Object(v, depth);
    if (c == '[') return Array(v, depth);
    if (c == '"') {
      v->kind = JsonValue::kString;
      return String(&v->text);
    }
    if (Word("true")) {
      v->kind = JsonValue::kBool;
      v->boolean = true;
      return true;
    }
    if (Word("false")) {
      v->kind = JsonValue::kBool;
      return true;
    }
    if (Word("null")) return true;
    return Number(v);
  }
  bool AtEnd() {
    Blanks();
    return i_ == s_.size();
  }
  size_t Where() const { return i_; }

 private:
  void Blanks() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }
  bool Word(const char* w) {
    std::string word(w);
    if (s_.compare(i_, word.size(), word) != 0) return false;
    i_ += word.size();
    return true;
  }
  bool Number(JsonValue* v) {
    const char* start = s_.c_str() + i_;
    if (*start != '-' && (*start < '0' || *start > '9')) return false;
    char* end = nullptr;
    v->number = strtod(start, &end);
    if (end == start) return false;
    v->kind = JsonValue::kNumber;
    i_ += static_cast<size_t>(end - start);
    return true;
  }
  bool Hex4(unsigned* out) {
    if (i_ + 4 > s_.size()) return false;
    *out = 0;
    for (int k = 0; k < 4; ++k) {
      char c = s_[i_++];
      int d = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      if (d < 0) return false;
      *out = *out * 16 + static_cast<unsigned>(d);
    }
    return true;
  }
  bool String(std::string* out) {
    ++i_;  // the opening quote
    while (i_ < s_.size()) {
      char c = s_[i_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      char e = s_[i_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          *out += e;
          break;
        case 'n':
          *out += '\n';
          break;
        case 'r':
          *out += '\r';
          break;
        case 't':
          *out += '\t';
          break;
        case 'b':
          *out += '\b';
          break;
        case 'f':
          *out += '\f';
          break;
        case 'u': {
          unsigned u = 0;
          if (!Hex4(&u)) return false;
          // The daemon escapes single bytes only; others become UTF-8.
          if (u < 0x100) {
            *out += static_cast<char>(u);
          } else if (u < 0x800) {
            *out += static_cast<char>(0xc0 | (u >> 6));
            *out += static_cast<char>(0x80 | (u & 0x3f));
          } else {
            *out += static_cast<char>(0xe0 | (u >> 12));
            *out += static_cast<char>(0x80 | ((u >> 6) & 0x3f));
            *out += static_cast<char>(0x80 | (u & 0x3f));
          }
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool Array(JsonValue* v, int depth) {
    v->kind = JsonValue::kArray;
    ++i_;
    Blanks();
    if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
    for (;;) {
      v->items.emplace_back();
      if (!Value(&v->items.back(), depth + 1)) return false;
      Blanks();
      if (i_ >= s_.size()) return false;
      if (s_[i_] == ']') return ++i_, true;
      if (s_[i_++] != ',') return false;
    }
  }
  bool Object(JsonValue* v, int depth) {
    v->kind = JsonValue::kObject;
    ++i_;
    Blanks();
    if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
    for (;;) {
      Blanks();
      if (i_ >= s_.size() || s_[i_] != '"') return false;
      std::string key;
      if (!String(&key)) return false;
      Blanks();
      if (i_ >= s_.size() || s_[i_++] != ':') return false;
      v->keys.push_back(key);
      v->values.emplace_back();
      if (!Value(&v->values.back(), depth + 1)) return false;
      Blanks();
      if (i_ >= s_.size()) return false;
      if (s_[i_] == '}') return ++i_, true;
      if (s_[i_++] != ',') return false;
    }
  }

  const std::string& s_;
  size_t i_ = 0;
};

}  // namespace

bool ParseJson(const std::string& text, JsonValue* out, std::string* error) {
  Parser p(text);
  *out = JsonValue();
  if (p.Value(out, 0) && p.AtEnd()) return true;
  if (error != nullptr) *error = "not JSON at byte " + std::to_string(p.Where());
  return false;
}

}  // namespace e1ctl
