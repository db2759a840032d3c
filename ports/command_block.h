// Command blocks: the client's commands formatted as the controller's
// command lines, grouped into blocks of at most kMaxBlockCommands, and
// their delivery to the control UART together with the replay of the last
// block sent.
#ifndef E1CTLD_PORTS_COMMAND_BLOCK_H_
#define E1CTLD_PORTS_COMMAND_BLOCK_H_

#include <stddef.h>
#include <stdint.h>

#include "core/controller.h"
#include "ports/command_framer.h"

// A command line holds at most kCommandLineChars characters (126) and its
// terminator: "port E1.<n> " (kCommandPrefixChars), the command of at most
// kMaxCommandChars characters (115), a line feed. A longer command does not
// fit a line and is never sent.
constexpr size_t kCommandLineChars = kCommandLineSize - 2;
constexpr size_t kCommandPrefixChars = 10;
constexpr size_t kMaxCommandChars = kCommandLineChars - kCommandPrefixChars - 1;
static_assert(kFramerTailChars == kMaxCommandChars + 1, "a kept tail must tell a too long command");

// Formats `text` (`len` bytes; a NUL ends it early) as "port E1.<port>
// <text>\n" into `line`. Returns the line's length, or 0 when nothing is to
// be sent: the text is empty up to its NUL, or too long for a line (logged
// at level 4 with the port and the length, once per command).
size_t FormatCommandLine(const char* text, size_t len, uint32_t portIndex,
                         char line[kCommandLineSize]);

// The commands of one read, gathered into blocks as they are framed: a
// full block goes out before the next command joins a new one, the rest
// when the read is done.
struct CommandBlockBuilder {
  E1PortSlot* slot;
  int count;
  char lines[kMaxBlockCommands][kCommandLineSize];
};

void InitCommandBlockBuilder(CommandBlockBuilder* b, E1PortSlot* slot);

// A CommandFn (ctx: the builder): formats the command into the block,
// sending the block first when it is full. May wait as SendNewCommandBlock.
void AddCommandToBlock(void* ctx, const char* text, size_t len);

// Sends the commands gathered so far, if any, as one block.
void FinishCommandBlock(CommandBlockBuilder* b);

// Writes a new block of `count` lines as "CMD:" lines, all under the
// controller lock so that no other block comes between its lines, and
// makes it the slot's stored block (what a replay resends). While the UART
// is closed it waits for it to open again, and a replay that the opening
// asked for goes out first; while the controller reads slowly it waits for
// room (see WriteCtlUARTLocked): the client feels the back-pressure. Once
// the writers were stopped nothing is written or stored.
// Requires: called by the slot's port thread; controller lock NOT held.
void SendNewCommandBlock(E1PortSlot* slot, char lines[][kCommandLineSize], int count);

// Resends the stored block when a replay was asked for, and logs it; a
// closed UART takes nothing, the next opening asks again.
// Requires: called by the slot's port thread; controller lock NOT held.
void ServeReplay(E1PortSlot* slot);

#endif  // E1CTLD_PORTS_COMMAND_BLOCK_H_
