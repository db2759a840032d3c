#include "ports/command_block.h"

#include <stdio.h>
#include <string.h>

#include "core/log.h"
#include "uart/uart_writer.h"

int FormatCommandBlock(char* text, uint32_t portIndex,
                       char work[kMaxBlockCommands][kCommandLineSize]) {
  char* save = nullptr;
  int j = 0;
  for (char* tok = strtok_r(text, ";\r\n", &save); tok != nullptr && j < kMaxBlockCommands;
       tok = strtok_r(nullptr, ";\r\n", &save)) {
    if (strchr(tok, 0x1A) != nullptr) LogMessage(7, "eof found\r\n");
    // At most kCommandLineChars characters and the terminator.
    snprintf(work[j], kCommandLineChars + 1, "port E1.%u %s\n", portIndex, tok);
    LogMessage(7, "cmd%d(len=%d): %s", j, static_cast<int>(strlen(work[j])), work[j]);
    ++j;
  }
  return j;
}

void SendCommandBlock(E1Controller* c, E1PortSlot* slot) {
  // The whole block goes to the line-buffered stream in one call: the
  // stream then writes everything up to the last newline at once instead
  // of once per line, and a cut line without newline waits in it as before.
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
  pthread_mutex_lock(&c->lock);
  // While the controller reads slowly the stream's writer waits for room,
  // holding the lock: the port thread stops reading its client meanwhile,
  // so the client feels the back-pressure, and other ports' blocks wait
  // their turn. Once the process stops, nothing more enters the stream.
  if (c->wrFile != nullptr && len > 0 && !UARTWritersStopped()) fwrite(block, 1, len, c->wrFile);
  pthread_mutex_unlock(&c->lock);
}
