// Command blocks: the client's text cut into commands, formatted as the
// controller's command lines, and their delivery to the control UART.
#ifndef E1CTLD_PORTS_COMMAND_BLOCK_H_
#define E1CTLD_PORTS_COMMAND_BLOCK_H_

#include <stddef.h>
#include <stdint.h>

#include "core/controller.h"

// A command line holds at most kCommandLineChars characters (126) and its
// terminator. Before the command comes "port E1.<n> " (kCommandPrefixChars);
// a command of up to kMaxCommandKeepingLineEnd characters (115) keeps the
// line feed after it, a longer one is cut and loses it.
constexpr size_t kCommandLineChars = kCommandLineSize - 2;
constexpr size_t kCommandPrefixChars = 10;
constexpr size_t kMaxCommandKeepingLineEnd = kCommandLineChars - kCommandPrefixChars - 1;

// Cuts `text` (modified in place) at ';', '\r' and '\n' and formats up to 32
// non-empty commands as "port E1.<port> <command>\n", each cut to 126
// characters, into `work`. Returns the number of commands.
int FormatCommandBlock(char* text, uint32_t portIndex,
                       char work[kMaxBlockCommands][kCommandLineSize]);

// Writes the slot's stored block to the UART stream as "CMD:" lines, all of
// it under the controller lock so no other block comes between its lines,
// waiting for room as long as the controller keeps the line open (see
// WriteCtlUARTLocked). Nothing is written while the UART is closed or once
// the writers were stopped. Requires: lock NOT held.
void SendCommandBlock(E1Controller* c, E1PortSlot* slot);

#endif  // E1CTLD_PORTS_COMMAND_BLOCK_H_
