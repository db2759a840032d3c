// A log message's final text: printf-style formatting in the caller's
// thread, then, for the journal, a syslog priority before each line.
#ifndef E1CTLD_CORE_LOG_TEXT_H_
#define E1CTLD_CORE_LOG_TEXT_H_

#include <stdarg.h>
#include <stddef.h>

#include <string>
#include <string_view>

// A formatted message: the text lives in `small`, in `heap` when longer,
// or in `prefixed` when it goes to the journal. `text`/`len` say which.
struct LogText {
  char small[512];
  char* heap;
  std::string prefixed;
  const char* text;
  size_t len;
};

// Formats into `t` (prefixed with `priority` for the journal, see
// LogToJournal). A text that does not end in a line feed gets one. False
// on a format error: nothing to print. Without memory for a long text it is
// cut to what `small` holds. Pair with FreeLogText.
bool FormatLogText(LogText* t, int priority, const char* format, va_list ap)
    __attribute__((format(printf, 3, 0)));
bool FormatLogTextF(LogText* t, int priority, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void FreeLogText(LogText* t);

// `text` with "<priority>" put before each of its lines (before the first
// character and after every line feed that is not the last character), as
// the journal reads syslog priorities from a stream.
std::string PrefixLines(int priority, std::string_view text);

// True when $JOURNAL_STREAM ("device:inode") names what standard output is:
// the log then goes to the journal and carries priority prefixes. Decided
// at the first call.
bool LogToJournal();

#endif  // E1CTLD_CORE_LOG_TEXT_H_
