#include "tools/e1ctl/process_state.h"

#include <stdio.h>
#include <sys/stat.h>

namespace e1ctl {

namespace {

// The task flag the kernel sets when a thread starts to exit
// (include/linux/sched.h); the process's files are closed after it.
constexpr unsigned long kTaskExiting = 0x00000004;

}  // namespace

bool StatShowsEnding(const std::string& statLine) {
  // "pid (comm) state ppid pgrp session tty_nr tpgid flags ...": the
  // command name may hold spaces and parentheses, so the fields are read
  // after the last ')'.
  size_t close = statLine.rfind(')');
  if (close == std::string::npos) return false;
  char state = 0;
  unsigned long flags = 0;
  if (sscanf(statLine.c_str() + close + 1, " %c %*d %*d %*d %*d %*d %lu", &state, &flags) != 2) {
    return false;
  }
  return state == 'Z' || state == 'X' || state == 'x' || (flags & kTaskExiting) != 0;
}

const char* FileKindText(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR:
      return "a directory";
    case S_IFREG:
      return "a regular file";
    case S_IFLNK:
      return "a symbolic link";
    case S_IFIFO:
      return "a named pipe";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFSOCK:
      return "a socket";
    default:
      return "a file of unknown type";
  }
}

}  // namespace e1ctl
