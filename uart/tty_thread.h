// The serial thread of a controller: reads reply lines from the control UART,
// routes them to the port clients, and reopens the UART after a loss.
#ifndef E1CTLD_UART_TTY_THREAD_H_
#define E1CTLD_UART_TTY_THREAD_H_

#include "core/controller.h"

// Thread body; `arg` is the E1Controller, its UART open. After every open
// asks each port for a replay, then reads (TTY_loop) until the line is lost
// and waits for it to come back. Runs while ttyRunning is set, which nothing
// clears: it never returns while the process runs.
void* TTY_thread(void* arg);

// Reads and routes until the UART reports hang-up or error, then restores
// the line settings and closes the UART. Sleeps in poll without a timeout
// while the line is quiet.
// Requires: UART open; controller lock NOT held. Always 0.
int TTY_loop(E1Controller* c);

#endif  // E1CTLD_UART_TTY_THREAD_H_
