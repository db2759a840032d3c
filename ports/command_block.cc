#include "ports/command_block.h"

#include <stdio.h>
#include <string.h>

#include "core/log.h"
#include "core/log_escape.h"
#include "core/run_options.h"
#include "uart/uart_writer.h"

size_t FormatCommandLine(const char* text, size_t len, uint32_t portIndex,
                         char line[kCommandLineSize]) {
  // A NUL ends the command as it always did: the controller's lines are C
  // strings, and what follows it up to the separator is not sent.
  const char* nul = static_cast<const char*>(memchr(text, '\0', len));
  if (nul != nullptr) len = static_cast<size_t>(nul - text);
  if (len == 0) return 0;
  if (len > kMaxCommandChars) {
    // Cut, the command would be another one; without its line end, the
    // controller would read it glued to the next line.
    LogMessage(4, "E1_thread: command of %zu characters for E1.%u dropped: too long for a line\n",
               len, portIndex);
    return 0;
  }
  if (memchr(text, 0x1A, len) != nullptr) LogMessage(7, "eof found\r\n");
  int prefix = snprintf(line, kCommandLineSize, "port E1.%u ", portIndex);
  size_t n = static_cast<size_t>(prefix);
  memcpy(line + n, text, len);
  n += len;
  line[n++] = '\n';
  line[n] = '\0';
  return n;
}

void InitCommandBlockBuilder(CommandBlockBuilder* b, E1PortSlot* slot) {
  b->slot = slot;
  b->count = 0;
}

void AddCommandToBlock(void* ctx, const char* text, size_t len) {
  CommandBlockBuilder* b = static_cast<CommandBlockBuilder*>(ctx);
  char* line = b->lines[b->count];
  size_t n = FormatCommandLine(text, len, b->slot->portIndex, line);
  if (n == 0) {
    // Empty, or too long for a line (FormatCommandLine logged that).
    const char* nul = static_cast<const char*>(memchr(text, '\0', len));
    if ((nul != nullptr ? static_cast<size_t>(nul - text) : len) > kMaxCommandChars) {
      Bump(b->slot->counters.commandsTooLong);
    }
    return;
  }
  if (g_options.logLevel >= 7 && !g_options.quiet) {
    // The client's bytes, escaped: nothing it sends can pose as a line of
    // the daemon's own or reach a terminal as a control sequence.
    char shown[kCommandLineSize * kLogEscapeMaxPerByte + 1];
    EscapeForLog(line, n - 1, shown, sizeof shown);
    LogMessage(7, "cmd%d(len=%d): %s\n", b->count, static_cast<int>(n), shown);
  }
  if (++b->count == kMaxBlockCommands) FinishCommandBlock(b);
}

void FinishCommandBlock(CommandBlockBuilder* b) {
  if (b->count == 0) return;
  SendNewCommandBlock(b->slot, b->lines, b->count);
  b->count = 0;
}

namespace {

// Shows the block's lines (each "CMD:...\n") to the monitors.
void TapBlock(E1Controller* c, int port, const char* block, size_t len) {
  for (const char* p = block; p < block + len;) {
    const char* nl =
        static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(block + len - p)));
    const char* end = nl != nullptr ? nl + 1 : block + len;
    PushTap(&c->tap, port, TapDir::kTx, TapOutcome::kSent, p, static_cast<size_t>(end - p));
    p = end;
  }
}

// Writes the stored block to the UART stream; true when the stream took it.
// Requires: controller lock held.
bool WriteStoredBlockLocked(E1Controller* c, E1PortSlot* slot) {
  // The whole block goes to the line-buffered stream in one call: the
  // stream then writes it at once instead of once per line.
  char block[kMaxBlockCommands * (kCommandLineSize + 4)];
  size_t len = 0;
  for (int i = 0; i < slot->commandCount; ++i) {
    // "CMD:%s" without the formatter's cost on the path of every command.
    size_t n = strnlen(slot->commands[i], kCommandLineSize - 1);
    // The block is a run of bytes, never a C string: no terminator.
    memcpy(block + len, "CMD:", 4);  // NOLINT(bugprone-not-null-terminated-result)
    memcpy(block + len + 4, slot->commands[i], n);
    len += 4 + n;
  }
  // While the controller reads slowly the stream's writer waits for room,
  // holding the lock: the port thread stops reading its client meanwhile,
  // so the client feels the back-pressure, and other ports' blocks wait
  // their turn. Once the process stops, nothing more enters the stream.
  if (c->wrFile == nullptr || len == 0 || UARTWritersStopped()) return false;
  // Shown to the monitors before it goes: the controller's replies to it
  // can then never come before it in the tap.
  if (TapWanted(&c->tap)) TapBlock(c, static_cast<int>(slot->portIndex), block, len);
  Bump(slot->counters.bytesToLine, fwrite(block, 1, len, c->wrFile));
  return true;
}

// Requires: controller lock held.
void ServeReplayLocked(E1Controller* c, E1PortSlot* slot) {
  if (!slot->replayRequested.exchange(0)) return;
  if (WriteStoredBlockLocked(c, slot)) Bump(slot->counters.replaysSent);
  LogMessage(5, "Last command block request processed (%d cmds) for E1 thread idx %d\n",
             slot->commandCount, static_cast<int>(slot->portIndex));
}

}  // namespace

void SendNewCommandBlock(E1PortSlot* slot, char lines[][kCommandLineSize], int count) {
  E1Controller* c = slot->controller;
  pthread_mutex_lock(&c->lock);
  // Sent into a closed line, the block would be lost, and only the last
  // such block would come back with the replay: it waits for the line.
  while (c->wrFile == nullptr && !UARTWritersStopped())
    pthread_cond_wait(&c->lineChanged, &c->lock);
  if (!UARTWritersStopped()) {
    // The replay resends the block sent before the line was lost, so it
    // goes before this one, which would otherwise be sent twice.
    ServeReplayLocked(c, slot);
    memcpy(slot->commands, lines, static_cast<size_t>(count) * kCommandLineSize);
    slot->commandCount = count;
    if (WriteStoredBlockLocked(c, slot)) {
      Bump(slot->counters.blocksSent);
      Bump(slot->counters.commandsSent, static_cast<uint64_t>(count));
    }
  }
  pthread_mutex_unlock(&c->lock);
}

void ServeReplay(E1PortSlot* slot) {
  E1Controller* c = slot->controller;
  pthread_mutex_lock(&c->lock);
  ServeReplayLocked(c, slot);
  pthread_mutex_unlock(&c->lock);
}
