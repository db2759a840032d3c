// Logging: priority prefixes for the journal (every line of a message, and
// only lines, gets the tag), and the output itself, before and after the
// log writer takes it over, with a standard output that nobody reads.
#include "core/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "core/log_queue.h"
#include "core/log_text.h"
#include "core/run_options.h"

namespace {

TEST(PrefixLines, TagsEveryLineOfTheMessage) {
  EXPECT_EQ(PrefixLines(4, "Parameter 1: x\n"), "<4>Parameter 1: x\n");
  // Two lines, the second empty (the controller listing's blank line).
  EXPECT_EQ(PrefixLines(6, "Found 1 E1 controller\n\n"), "<6>Found 1 E1 controller\n<6>\n");
  // A message whose last line has no line end: still tagged, nothing added.
  EXPECT_EQ(PrefixLines(7, "received 3 bytes:\nabc"), "<7>received 3 bytes:\n<7>abc");
  EXPECT_EQ(PrefixLines(3, "a\nb\nc\n"), "<3>a\n<3>b\n<3>c\n");
  EXPECT_EQ(PrefixLines(1, ""), "");
}

TEST(PrefixLines, KeepsTheBytesOfTheText) {
  std::string text("x\r\n\0y\n", 6);
  EXPECT_EQ(PrefixLines(5, text), std::string("<5>x\r\n<5>\0y\n", 12));
}

// The text of one message, formatted as LogMessage does.
std::string Formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Formatted(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  LogText t;
  std::string text = FormatLogText(&t, 7, format, ap) ? std::string(t.text, t.len) : "<error>";
  va_end(ap);
  FreeLogText(&t);
  return text;
}

TEST(LogText, EveryMessageEndsInALineFeedOfItsOwn) {
  if (LogToJournal()) GTEST_SKIP() << "standard output is a journal stream: texts are prefixed";
  // Data without a line end, or cut at a NUL, would glue the next message
  // onto it.
  EXPECT_EQ(Formatted("received 3 bytes:\n%s", "abc"), "received 3 bytes:\nabc\n");
  EXPECT_EQ(Formatted("%s", "already ends\n"), "already ends\n");
  EXPECT_EQ(Formatted("%s", "\n"), "\n");
  EXPECT_EQ(Formatted("%s", ""), "");
  // Around the end of the caller's buffer and beyond it.
  for (size_t len : {1u, 509u, 510u, 511u, 512u, 513u, 3000u}) {
    std::string text(len, 'x');
    EXPECT_EQ(Formatted("%s", text.c_str()), text + "\n") << len;
    EXPECT_EQ(Formatted("%s\n", text.c_str()), text + "\n") << len;
  }
}

// Runs `body` in a child process whose standard output is a pipe, reading
// nothing until the child has written its report (a number) on a second
// pipe (killing it when none comes within 5 s); then reads the output to
// its end. Returns the output, the report (-1 without one) and the exit
// status of the child.
struct ChildRun {
  std::string out;
  long report = -1;
  int status = -1;
};

template <class Body>
ChildRun RunWithStdoutPipe(Body body) {
  int out[2], ctl[2];
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(ctl), 0);
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    close(ctl[0]);
    // A small pipe fills up after a few lines, like a stuck reader.
    fcntl(out[1], F_SETPIPE_SZ, 4096);
    dup2(out[1], STDOUT_FILENO);
    close(out[1]);
    long report = body();
    ssize_t ignored = write(ctl[1], &report, sizeof report);
    (void)ignored;
    close(ctl[1]);
    exit(0);
  }
  close(out[1]);
  close(ctl[1]);
  ChildRun r;
  // A child stuck in a log call never reports: end it after 5 s.
  struct pollfd p = {ctl[0], POLLIN, 0};
  if (poll(&p, 1, 5000) == 1) {
    if (read(ctl[0], &r.report, sizeof r.report) != sizeof r.report) r.report = -1;
  } else {
    kill(pid, SIGKILL);
  }
  close(ctl[0]);
  char buf[4096];
  for (;;) {
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    r.out.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  waitpid(pid, &r.status, 0);
  return r;
}

long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

TEST(Log, BeforeTheWriterStartsOutputIsImmediateAndWhole) {
  ChildRun r = RunWithStdoutPipe([] {
    SetDefaultRunOptions();
    // Longer than the formatting buffer on the caller's stack.
    std::string longText(3000, 'x');
    LogMessage(4, "%s|%d\n", longText.c_str(), 42);
    LogMessage(5, "filtered\n");
    // Already in the pipe when the call returns: nothing is queued.
    int pending = 0;
    ioctl(STDOUT_FILENO, FIONREAD, &pending);
    return static_cast<long>(pending);
  });
  EXPECT_EQ(r.out, std::string(3000, 'x') + "|42\n");
  EXPECT_EQ(r.report, 3004);
  EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0);
}

TEST(Log, WithTheWriterAFullOutputDropsLinesCountsThemKeepsOrderAndErrors) {
  constexpr int kLines = 20000;
  ChildRun r = RunWithStdoutPipe([] {
    SetDefaultRunOptions();
    if (StartLogWriter() != 0) return -1L;
    std::string longText(1500, 'L');
    long start = NowMs();
    for (int i = 0; i < kLines; ++i) {
      // Now and then a text longer than the caller's formatting buffer.
      if (i % 1000 == 999) {
        LogMessage(4, "line %05d %s\n", i, longText.c_str());
      } else {
        LogMessage(4, "line %05d\n", i);
      }
    }
    // An error still finds room behind the flood of ordinary lines.
    LogMessage(1, "critical %d\n", 1);
    // Nobody reads yet: every call returned without waiting.
    return NowMs() - start;
  });
  ASSERT_GE(r.report, 0) << "the log calls never returned, or the writer did not start";
  EXPECT_LT(r.report, 1000) << "log calls waited for the output";
  EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0);

  // What came out: lines in order, then (once output flowed) the count of
  // the dropped ones, which accounts for every line not written, and the
  // error last.
  const std::string critical = "critical 1\n";
  ASSERT_GE(r.out.size(), critical.size());
  EXPECT_EQ(r.out.substr(r.out.size() - critical.size()), critical);
  r.out.resize(r.out.size() - critical.size());
  int seen = 0, last = -1, dropped = -1;
  size_t at = 0;
  while (at < r.out.size()) {
    size_t end = r.out.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "unterminated output";
    std::string line = r.out.substr(at, end - at);
    at = end + 1;
    int n = 0;
    if (sscanf(line.c_str(), "line %d", &n) == 1) {
      ASSERT_GT(n, last) << line;
      ASSERT_EQ(dropped, -1) << "a line came after the drop count: " << line;
      std::string want = n % 1000 == 999 ? std::string(1500, 'L') : "";
      char head[16];
      snprintf(head, sizeof head, "line %05d", n);
      ASSERT_EQ(line, want.empty() ? std::string(head) : std::string(head) + " " + want);
      last = n;
      ++seen;
    } else {
      ASSERT_EQ(
          sscanf(line.c_str(), "%d log lines dropped while standard output was blocked", &dropped),
          1)
          << line;
      ASSERT_EQ(line,
                std::to_string(dropped) + " log lines dropped while standard output was blocked");
    }
  }
  EXPECT_GT(seen, 0);
  EXPECT_GT(dropped, 0);
  EXPECT_EQ(seen + dropped, kLines);
  // The lines kept are the first ones: the queue was full after them.
  EXPECT_EQ(last, seen - 1);
}

}  // namespace
