// What e1ctl tells its user on standard error, each message after
// "e1ctl: ": notices, which -q silences, and errors, which end the program.
#ifndef E1CTLD_TOOLS_E1CTL_REPORT_H_
#define E1CTLD_TOOLS_E1CTL_REPORT_H_

namespace e1ctl {

// From now on Notice prints nothing (errors are still printed).
void SetQuiet(bool quiet);

void Notice(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Prints the message, flushes standard output and ends the program with
// `status`; never returns.
[[noreturn]] void Fail(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_REPORT_H_
