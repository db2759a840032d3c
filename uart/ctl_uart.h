// Opens a controller's control UART: a read descriptor and a duplicate for
// writing, each wrapped in a stream, with the line in raw 8-bit mode.
#ifndef E1CTLD_UART_CTL_UART_H_
#define E1CTLD_UART_CTL_UART_H_

#include "core/controller.h"

// 0 on success (all four UART fields open); -1 open failed, -2 dup failed,
// -3 read stream failed, -4 write stream failed, each leaving all four
// closed and the line settings as found. An opening asks every port for a
// replay of its last block and wakes port threads waiting for the line.
// Requires: controller lock NOT held; takes it itself.
int OpenCtlUART(E1Controller* c);

// Waits for the tty to reappear (possibly under another name) and opens it:
// looks in sysfs at once on a change of a tty node in /dev (and a few times
// quickly after), and every 200 ms in any case. Returns 0, and only once the
// UART is open.
// Requires: controller lock NOT held.
int WaitCtlUART(E1Controller* c);

#endif  // E1CTLD_UART_CTL_UART_H_
