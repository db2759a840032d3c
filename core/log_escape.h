// Client bytes made safe for the log: whatever a client sends, the text
// that reaches the log holds no line end, no terminal control and no byte
// that could end or split the daemon's own line.
#ifndef E1CTLD_CORE_LOG_ESCAPE_H_
#define E1CTLD_CORE_LOG_ESCAPE_H_

#include <stddef.h>

#include <string>
#include <string_view>

// The most bytes one input byte becomes ("\x1b").
constexpr size_t kLogEscapeMaxPerByte = 4;

// Writes `len` bytes of `data` to `out` as the log shows them: printable
// ASCII (0x20 to 0x7e) as it is, a backslash as "\\", line feed and
// carriage return as "\n" and "\r", every other byte (NUL, ESC, the other
// controls, 0x7f, bytes above 0x7e) as "\x" and two lower-case hex digits.
// `out` is always terminated when `size` > 0; an escape that does not fit
// whole is left out with everything after it. Returns the length written
// (without the terminator). `size` = len * kLogEscapeMaxPerByte + 1 always
// holds all of it.
size_t EscapeForLog(const void* data, size_t len, char* out, size_t size);

// The same, as a string.
std::string EscapeForLog(std::string_view bytes);

#endif  // E1CTLD_CORE_LOG_ESCAPE_H_
