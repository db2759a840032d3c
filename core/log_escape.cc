#include "core/log_escape.h"

namespace {

// The escaped form of one byte, terminated; its length.
size_t EscapeByte(unsigned char b, char form[kLogEscapeMaxPerByte + 1]) {
  static const char kHex[] = "0123456789abcdef";
  if (b == '\\' || b == '\n' || b == '\r') {
    form[0] = '\\';
    form[1] = b == '\\' ? '\\' : b == '\n' ? 'n' : 'r';
    form[2] = '\0';
    return 2;
  }
  if (b >= 0x20 && b <= 0x7e) {
    form[0] = static_cast<char>(b);
    form[1] = '\0';
    return 1;
  }
  form[0] = '\\';
  form[1] = 'x';
  form[2] = kHex[b >> 4];
  form[3] = kHex[b & 0x0f];
  form[4] = '\0';
  return 4;
}

}  // namespace

size_t EscapeForLog(const void* data, size_t len, char* out, size_t size) {
  if (size == 0) return 0;
  const unsigned char* in = static_cast<const unsigned char*>(data);
  size_t n = 0;
  for (size_t i = 0; i < len; ++i) {
    char form[kLogEscapeMaxPerByte + 1];
    size_t k = EscapeByte(in[i], form);
    if (n + k >= size) break;  // the terminator needs its byte too
    for (size_t j = 0; j < k; ++j) out[n + j] = form[j];
    n += k;
  }
  out[n] = '\0';
  return n;
}

std::string EscapeForLog(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    char form[kLogEscapeMaxPerByte + 1];
    out.append(form, EscapeByte(static_cast<unsigned char>(c), form));
  }
  return out;
}
