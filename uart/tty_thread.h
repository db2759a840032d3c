// The serial thread of a controller: reads reply lines from the control UART,
// routes them to the port clients, and reopens the UART after a loss.
#ifndef E1CTLD_UART_TTY_THREAD_H_
#define E1CTLD_UART_TTY_THREAD_H_

#include "core/controller.h"

// Thread body; `arg` is the E1Controller. Runs while ttyRunning is set.
void* TTY_thread(void* arg);

// Reads and routes until the UART reports hang-up or error, then restores
// the line settings and closes the UART. Sleeps in poll without a timeout
// while the line is quiet.
// Requires: UART open; controller lock NOT held. Always 0.
int TTY_loop(E1Controller* c);

// Passes a burst of reply text (whole lines) to the client of `slot`, if it
// has one and the controller has not ended it: written at once as far as
// the client takes it, the rest queued for the port thread in order (whole
// lines dropped, and logged once per stall, when the queue is full). Never
// waits for the client. Requires: slot->clientLock NOT held; takes it.
void WriteReplyToClient(E1PortSlot* slot, const char* text, size_t len);

// End-of-file reply: the client of `slot` is shut down (once its queued
// replies are out), and the port's later replies go nowhere until a new
// client is accepted. Requires: slot->clientLock NOT held; takes it.
void ShutdownClient(E1PortSlot* slot);

#endif  // E1CTLD_UART_TTY_THREAD_H_
