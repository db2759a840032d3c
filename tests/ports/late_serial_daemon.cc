// The daemon with its serial threads held back for 1.5 s before their first
// pass, as on a machine so loaded that the port threads run long before
// them: port clients are served before the serial thread looks at the line.
#include <stdio.h>
#include <unistd.h>

#include "daemon/e1_main.h"
#include "uart/tty_thread.h"

namespace {

void HoldSerialThread(E1Controller*) {
  fprintf(stderr, "late serial thread: held back for 1.5 s\n");
  usleep(1500 * 1000);
}

}  // namespace

int main(int argc, char** argv) {
  g_serialStartHook = HoldSerialThread;
  return E1Main(argc, argv);
}
