#include "tools/e1ctl/json_reader.h"

#include <errno.h>
#include <stdlib.h>

namespace e1ctl {

const JsonValue* JsonValue::Find(const std::string& key) const {
  if (kind != kObject) return nullptr;
  for (const auto& m : members) {
    if (m.name == key) return &m.value;
  }
  return nullptr;
}

long long JsonValue::Int(const std::string& key) const {
  const JsonValue* v = Find(key);
  return v != nullptr && v->kind == kInteger ? v->integer : 0;
}

std::string JsonValue::Str(const std::string& key) const {
  const JsonValue* v = Find(key);
  return v != nullptr && v->kind == kString ? v->text : std::string();
}

bool JsonValue::Bool(const std::string& key) const {
  const JsonValue* v = Find(key);
  return v != nullptr && v->kind == kBool && v->boolean;
}

namespace {

class Reader {
 public:
  explicit Reader(const std::string& text) : s_(text) {}

  bool ReadDocument(JsonValue* out, std::string* error) {
    SkipSpace();
    bool ok = ReadValue(out, 0);
    if (ok) {
      SkipSpace();
      if (at_ != s_.size()) ok = Fail("text after the value");
    }
    if (!ok) *error = "offset " + std::to_string(errorAt_) + ": " + error_;
    return ok;
  }

 private:
  bool Fail(const std::string& what) { return FailAt(at_, what); }
  bool FailAt(size_t at, const std::string& what) {
    errorAt_ = at;
    error_ = what;
    return false;
  }
  bool AtEnd() const { return at_ >= s_.size(); }
  char Peek() const { return AtEnd() ? '\0' : s_[at_]; }

  void SkipSpace() {
    while (!AtEnd() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) {
      ++at_;
    }
  }

  bool Literal(const char* word) {
    size_t start = at_;
    for (const char* p = word; *p != '\0'; ++p, ++at_) {
      if (Peek() != *p) return FailAt(start, std::string("not a value (expected '") + word + "')");
    }
    return true;
  }

  bool ReadValue(JsonValue* v, int depth) {
    if (AtEnd()) return Fail("unexpected end of text, a value expected");
    char c = Peek();
    switch (c) {
      case '{':
        return ReadObject(v, depth + 1);
      case '[':
        return ReadArray(v, depth + 1);
      case '"':
        v->kind = JsonValue::kString;
        return ReadString(&v->text);
      case 't':
        v->kind = JsonValue::kBool;
        v->boolean = true;
        return Literal("true");
      case 'f':
        v->kind = JsonValue::kBool;
        v->boolean = false;
        return Literal("false");
      case 'n':
        v->kind = JsonValue::kNull;
        return Literal("null");
      default:
        if (c == '-' || (c >= '0' && c <= '9')) return ReadNumber(v);
        return Fail(std::string("not a value: unexpected character '") + EscapeChar(c) + "'");
    }
  }

  static std::string EscapeChar(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f) return std::string(1, c);
    static const char kHex[] = "0123456789abcdef";
    return std::string("\\x") + kHex[u >> 4] + kHex[u & 15];
  }

  bool ReadObject(JsonValue* v, int depth) {
    if (depth > kJsonMaxDepth) return Fail("nested deeper than " + std::to_string(kJsonMaxDepth));
    v->kind = JsonValue::kObject;
    ++at_;  // '{'
    SkipSpace();
    if (Peek() == '}') {
      ++at_;
      return true;
    }
    for (;;) {
      SkipSpace();
      if (Peek() != '"')
        return Fail(AtEnd() ? "unexpected end of text in an object"
                            : "a member name (a string) expected");
      size_t keyAt = at_;
      std::string key;
      if (!ReadString(&key)) return false;
      if (v->Find(key) != nullptr) return FailAt(keyAt, "duplicate member name \"" + key + "\"");
      SkipSpace();
      if (Peek() != ':') return Fail("':' expected after a member name");
      ++at_;
      SkipSpace();
      v->members.push_back(JsonMember{std::move(key), JsonValue()});
      if (!ReadValue(&v->members.back().value, depth)) return false;
      SkipSpace();
      if (Peek() == ',') {
        ++at_;
        continue;
      }
      if (Peek() == '}') {
        ++at_;
        return true;
      }
      return Fail(AtEnd() ? "unexpected end of text in an object" : "',' or '}' expected");
    }
  }

  bool ReadArray(JsonValue* v, int depth) {
    if (depth > kJsonMaxDepth) return Fail("nested deeper than " + std::to_string(kJsonMaxDepth));
    v->kind = JsonValue::kArray;
    ++at_;  // '['
    SkipSpace();
    if (Peek() == ']') {
      ++at_;
      return true;
    }
    for (;;) {
      SkipSpace();
      v->items.emplace_back();
      if (!ReadValue(&v->items.back(), depth)) return false;
      SkipSpace();
      if (Peek() == ',') {
        ++at_;
        continue;
      }
      if (Peek() == ']') {
        ++at_;
        return true;
      }
      return Fail(AtEnd() ? "unexpected end of text in an array" : "',' or ']' expected");
    }
  }

  bool ReadNumber(JsonValue* v) {
    size_t start = at_;
    bool integral = true;
    if (Peek() == '-') ++at_;
    if (Peek() == '0') {
      ++at_;
      if (Peek() >= '0' && Peek() <= '9') return Fail("leading zero in a number");
    } else if (Peek() >= '1' && Peek() <= '9') {
      while (Peek() >= '0' && Peek() <= '9') ++at_;
    } else {
      return Fail("a digit expected in a number");
    }
    if (Peek() == '.') {
      integral = false;
      ++at_;
      if (!(Peek() >= '0' && Peek() <= '9')) return Fail("a digit expected after '.'");
      while (Peek() >= '0' && Peek() <= '9') ++at_;
    }
    if (Peek() == 'e' || Peek() == 'E') {
      integral = false;
      ++at_;
      if (Peek() == '+' || Peek() == '-') ++at_;
      if (!(Peek() >= '0' && Peek() <= '9')) return Fail("a digit expected in an exponent");
      while (Peek() >= '0' && Peek() <= '9') ++at_;
    }
    v->text = s_.substr(start, at_ - start);
    v->number = strtod(v->text.c_str(), nullptr);
    v->kind = JsonValue::kNumber;
    if (integral) {
      errno = 0;
      long long n = strtoll(v->text.c_str(), nullptr, 10);
      if (errno == 0) {
        v->kind = JsonValue::kInteger;
        v->integer = n;
      }
    }
    return true;
  }

  // Four hex digits after "\u" at at_; advances past them.
  bool ReadHex4(unsigned* out) {
    unsigned n = 0;
    for (int i = 0; i < 4; ++i) {
      char c = Peek();
      unsigned d;
      if (c >= '0' && c <= '9') {
        d = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        d = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        d = c - 'A' + 10;
      } else {
        return Fail("four hex digits expected after \\u");
      }
      n = n * 16 + d;
      ++at_;
    }
    *out = n;
    return true;
  }

  static void AppendUtf8(unsigned cp, std::string* out) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xc0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xe0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    } else {
      out->push_back(static_cast<char>(0xf0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    }
  }

  bool ReadEscape(std::string* out) {
    size_t start = at_;
    ++at_;  // '\\'
    char c = Peek();
    ++at_;
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out->push_back(c);
        return true;
      case 'b':
        out->push_back('\b');
        return true;
      case 'f':
        out->push_back('\f');
        return true;
      case 'n':
        out->push_back('\n');
        return true;
      case 'r':
        out->push_back('\r');
        return true;
      case 't':
        out->push_back('\t');
        return true;
      case 'u':
        break;
      default:
        return FailAt(start, "unknown escape in a string");
    }
    unsigned cp;
    if (!ReadHex4(&cp)) return false;
    if (cp >= 0xdc00 && cp <= 0xdfff) return FailAt(start, "a low surrogate without a high one");
    if (cp >= 0xd800 && cp <= 0xdbff) {
      unsigned low;
      if (Peek() != '\\' || at_ + 1 >= s_.size() || s_[at_ + 1] != 'u') {
        return FailAt(start, "a high surrogate without a low one");
      }
      at_ += 2;
      if (!ReadHex4(&low)) return false;
      if (low < 0xdc00 || low > 0xdfff) return FailAt(start, "a high surrogate without a low one");
      cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
    }
    AppendUtf8(cp, out);
    return true;
  }

  // One UTF-8 sequence of two or more bytes at at_, copied to `out`.
  bool CopyUtf8(std::string* out) {
    const unsigned char b = static_cast<unsigned char>(s_[at_]);
    int more;
    unsigned cp;
    if (b >= 0xc2 && b <= 0xdf) {
      more = 1;
      cp = b & 0x1f;
    } else if (b >= 0xe0 && b <= 0xef) {
      more = 2;
      cp = b & 0x0f;
    } else if (b >= 0xf0 && b <= 0xf4) {
      more = 3;
      cp = b & 0x07;
    } else {
      return Fail("invalid UTF-8 in a string");
    }
    if (at_ + more >= s_.size()) return Fail("invalid UTF-8 in a string");
    for (int i = 1; i <= more; ++i) {
      unsigned char t = static_cast<unsigned char>(s_[at_ + i]);
      if ((t & 0xc0) != 0x80) return Fail("invalid UTF-8 in a string");
      cp = (cp << 6) | (t & 0x3f);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((more == 2 && cp < 0x800) || (more == 3 && cp < 0x10000) || cp > 0x10ffff ||
        (cp >= 0xd800 && cp <= 0xdfff)) {
      return Fail("invalid UTF-8 in a string");
    }
    out->append(s_, at_, more + 1);
    at_ += more + 1;
    return true;
  }

  bool ReadString(std::string* out) {
    size_t start = at_;
    ++at_;  // '"'
    out->clear();
    for (;;) {
      if (AtEnd()) return FailAt(start, "unterminated string");
      const unsigned char c = static_cast<unsigned char>(s_[at_]);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c == '\\') {
        if (!ReadEscape(out)) return false;
      } else if (c < 0x20) {
        return Fail("control character in a string (must be escaped)");
      } else if (c < 0x80) {
        out->push_back(static_cast<char>(c));
        ++at_;
      } else if (!CopyUtf8(out)) {
        return false;
      }
    }
  }

  const std::string& s_;
  size_t at_ = 0;
  size_t errorAt_ = 0;
  std::string error_;
};

}  // namespace

bool ReadJson(const std::string& text, JsonValue* out, std::string* error) {
  *out = JsonValue();
  return Reader(text).ReadDocument(out, error);
}

}  // namespace e1ctl
