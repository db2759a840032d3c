#include "core/log_text.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

std::string PrefixLines(int priority, std::string_view text) {
  const std::string tag = "<" + std::to_string(priority) + ">";
  std::string out;
  out.reserve(text.size() + tag.size());
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string_view::npos ? text.size() : end + 1;
    out += tag;
    out.append(text.substr(start, end - start));
    start = end;
  }
  return out;
}

bool LogToJournal() {
  // -1 not decided yet; deciding twice gives the same answer.
  static std::atomic<int> decided{-1};
  int d = decided.load();
  if (d >= 0) return d == 1;
  d = 0;
  const char* stream = getenv("JOURNAL_STREAM");
  unsigned long long dev = 0, ino = 0;
  int used = 0;
  struct stat st;
  if (stream != nullptr && sscanf(stream, "%llu:%llu%n", &dev, &ino, &used) == 2 &&
      stream[used] == '\0' && fstat(STDOUT_FILENO, &st) == 0) {
    d = st.st_dev == dev && st.st_ino == ino ? 1 : 0;
  }
  decided.store(d);
  return d == 1;
}

// The one place where a message's text becomes final, in the caller's
// thread. A text too long for `small` goes to the heap. Each message ends
// in a line feed of its own: one is added when the text lacks it, so that
// nothing logged later is glued onto a message whose data had no line end.
bool FormatLogText(LogText* t, int priority, const char* format, va_list ap) {
  t->heap = nullptr;
  char* text = t->small;
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(t->small, sizeof t->small, format, ap);
  // Room for the text, a line feed it may lack and the terminator.
  if (n >= 0 && static_cast<size_t>(n) + 1 >= sizeof t->small) {
    t->heap = static_cast<char*>(malloc(static_cast<size_t>(n) + 2));
    if (t->heap != nullptr) {
      vsnprintf(t->heap, static_cast<size_t>(n) + 1, format, again);
      text = t->heap;
    } else {
      n = static_cast<int>(sizeof t->small) - 2;
    }
  }
  va_end(again);
  if (n > 0 && text[n - 1] != '\n') {
    text[n++] = '\n';
    text[n] = '\0';
  }
  t->text = text;
  t->len = n > 0 ? static_cast<size_t>(n) : 0;
  if (n >= 0 && LogToJournal()) {
    t->prefixed = PrefixLines(priority, std::string_view(t->text, t->len));
    t->text = t->prefixed.data();
    t->len = t->prefixed.size();
  }
  return n >= 0;
}

bool FormatLogTextF(LogText* t, int priority, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  bool ok = FormatLogText(t, priority, format, ap);
  va_end(ap);
  return ok;
}

void FreeLogText(LogText* t) {
  free(t->heap);
  t->heap = nullptr;
}
