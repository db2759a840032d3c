#include "core/run_paths.h"

#include <stdio.h>

const char kVersion[] = "0.9_rc4";
const char kSocketDir[] = "/var/run/E1controllers";
const char kSocketPrefix[] = "/var/run/E1controllers/G703G704_phy";
const char kSocketSuffix[] = "_at_ttyctrl_";
const char kLockPrefix[] = "/var/run/KESTRD_LOCK_";
const char kAuxPrefix[] = "/var/run/E1controllers/G703G704_AUX_PIPE_";
const char kCtlPrefix[] = "/var/run/E1controllers/G703G704_CTL_";

int FormatPortSocketPath(char* out, size_t size, int port, const char* ctlIf) {
  return snprintf(out, size, "%s%d%s%s", kSocketPrefix, port, kSocketSuffix, ctlIf);
}
