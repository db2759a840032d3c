// The serial thread of a controller: reads reply lines from the control UART,
// routes them to the port clients, and reopens the UART after a loss.
#ifndef E1CTLD_UART_TTY_THREAD_H_
#define E1CTLD_UART_TTY_THREAD_H_

#include "core/controller.h"

// Thread body; `arg` is the E1Controller, its UART open, or closed when the
// tty was not there at start-up (then waited for first). Reads (TTY_loop)
// until the line is lost and waits for it to come back (each opening asks
// the ports for a replay, see OpenCtlUART). Runs while ttyRunning is set, which nothing
// clears: it never returns while the process runs.
void* TTY_thread(void* arg);

// Test hook, null in production: called by the serial thread before its
// first pass, e.g. to hold it back as a loaded machine might.
extern void (*g_serialStartHook)(E1Controller* c);

// Reads and routes until the UART reports hang-up or error, then restores
// the line settings and closes the UART. Sleeps in poll without a timeout
// while the line is quiet.
// Requires: UART open; controller lock NOT held. Always 0.
int TTY_loop(E1Controller* c);

#endif  // E1CTLD_UART_TTY_THREAD_H_
