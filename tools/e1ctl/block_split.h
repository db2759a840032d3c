// Commands cut and grouped into blocks as the daemon takes them: one read of
// at most kMaxBlockBytes, cut at ';', CR and LF, at most kMaxBlockCommands
// commands. Pure; a failure comes back as a usage message, never printed here.
#ifndef E1CTLD_TOOLS_E1CTL_BLOCK_SPLIT_H_
#define E1CTLD_TOOLS_E1CTL_BLOCK_SPLIT_H_

#include <stddef.h>

#include <string>
#include <vector>

#include "core/controller.h"
#include "ports/command_block.h"
#include "ports/e1_thread.h"

namespace e1ctl {

constexpr size_t kMaxBlockBytes = kClientReadBytes;
// The longest command that fits a line on the UART is ::kMaxCommandChars.

// The non-empty commands of `text`, cut at ';', CR and LF.
std::vector<std::string> SplitCommands(const std::string& text);

// Groups commands, in order, into blocks of at most kMaxBlockCommands
// commands and kMaxBlockBytes bytes, each "c1;c2;...;cn\n"; a command too
// long for any block is cut to fit one alone. No commands: no blocks.
std::vector<std::string> MakeBlocks(const std::vector<std::string>& cmds);

// Whether the daemon drops the command as too long for a line.
bool DroppedByDaemon(const std::string& command);

// The one block of the commands given as arguments (joined with ';'),
// with its commands in `cmds`. False with a usage message in `error` when
// they hold no command or do not fit one block.
bool ArgumentBlock(const std::vector<std::string>& args, std::string* block,
                   std::vector<std::string>* cmds, std::string* error);

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_BLOCK_SPLIT_H_
