// Command line: argument order, option matching, the informational outputs
// and the tables that scripts parse.
#ifndef E1CTLD_DAEMON_COMMAND_LINE_H_
#define E1CTLD_DAEMON_COMMAND_LINE_H_

#include <stdio.h>

#include "core/controller.h"

// Moves every argument that begins with '-' behind those that do not,
// keeping the order within each group; returns the index of the first
// option (argc when there is none, argc itself when argc <= 1).
int ReorderArgs(int argc, char** argv);

// True when an argument from `optStart` on is '-' plus `letter` (any case).
bool HasShortOption(int argc, char** argv, int optStart, const char* letter);
// True when an argument from `optStart` on is "--" plus `name` (any case).
bool HasLongOption(int argc, char** argv, int optStart, const char* name);

void PrintHelp(FILE* out, const char* invocation);
void PrintPrefixTable(FILE* out);
void PrintPairTable(FILE* out, const E1Controller* const* controllers, int count);
void PrintHubTable(FILE* out, const E1Controller* const* controllers, int count);

// Flushes `out` at the end of a text that scripts read (help, version,
// tables). 0 when everything reached it; otherwise the error number of the
// failed write (EIO when none is known), for the exit status.
int FinishOutput(FILE* out);

#endif  // E1CTLD_DAEMON_COMMAND_LINE_H_
