// The options the command line sets for the whole run.
#ifndef E1CTLD_CORE_RUN_OPTIONS_H_
#define E1CTLD_CORE_RUN_OPTIONS_H_

#include <stdint.h>

// Set by the command line before any thread starts; read without a lock.
struct RunOptions {
  uint8_t quiet;
  int logLevel;
  uint8_t scanOnly;
  uint8_t printPrefix;
  uint8_t daemonize;
  uint8_t ethOnHub;
  uint8_t keepEthNames;
  uint8_t searchMore;
  uint8_t inNamespace;
};

extern RunOptions g_options;

// Resets g_options to its defaults (log level 4, every flag clear).
void SetDefaultRunOptions();

#endif  // E1CTLD_CORE_RUN_OPTIONS_H_
