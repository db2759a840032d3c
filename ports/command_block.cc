#include "ports/command_block.h"

#include <stdio.h>
#include <string.h>

#include "core/log.h"

int FormatCommandBlock(char* text, uint32_t portIndex,
                       char work[kMaxBlockCommands][kCommandLineSize]) {
  char* save = nullptr;
  int j = 0;
  for (char* tok = strtok_r(text, ";\r\n", &save); tok != nullptr && j < kMaxBlockCommands;
       tok = strtok_r(nullptr, ";\r\n", &save)) {
    if (strchr(tok, 0x1A) != nullptr) LogMessage(7, "eof found\r\n");
    // 127 bytes: at most 126 characters and the terminator.
    snprintf(work[j], kCommandLineSize - 1, "port E1.%u %s\n", portIndex, tok);
    LogMessage(7, "cmd%d(len=%d): %s", j, static_cast<int>(strlen(work[j])), work[j]);
    ++j;
  }
  return j;
}

void SendCommandBlock(E1Controller* c, E1PortSlot* slot) {
  pthread_mutex_lock(&c->lock);
  for (int i = 0; i < slot->commandCount; ++i) {
    if (c->wrFile != nullptr) fprintf(c->wrFile, "CMD:%s", slot->commands[i]);
  }
  pthread_mutex_unlock(&c->lock);
}
