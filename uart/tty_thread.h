// The serial thread of a controller: reads reply lines from the control UART,
// routes them to the port clients, and reopens the UART after a loss.
#ifndef E1CTLD_UART_TTY_THREAD_H_
#define E1CTLD_UART_TTY_THREAD_H_

#include "core/controller.h"

// Thread body; `arg` is the E1Controller. Runs while ttyRunning is set.
void* TTY_thread(void* arg);

// Reads and routes until the UART reports hang-up or error (or ttyRunning
// is cleared), then restores the line settings and closes the UART.
// Requires: UART open; controller lock NOT held. Always 0.
int TTY_loop(E1Controller* c);

// Writes one reply to the client of `slot`, if it has one, and returns
// within about a second even when the client does not read. Holds the
// slot's clientLock so the descriptor cannot be closed or reused meanwhile.
void WriteReplyToClient(E1PortSlot* slot, const char* text, size_t len);

// Shuts the client of `slot` down (end-of-file reply), if it has one.
void ShutdownClient(E1PortSlot* slot);

#endif  // E1CTLD_UART_TTY_THREAD_H_
