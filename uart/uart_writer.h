// Writing command bytes to the control UART: the writer beneath the
// line-buffered stream wrFile, which waits for room while the controller
// reads at any pace, and the process-wide stop that ends every such wait
// at exit.
#ifndef E1CTLD_UART_UART_WRITER_H_
#define E1CTLD_UART_UART_WRITER_H_

#include <stddef.h>

#include "core/controller.h"

// Writes all `len` bytes to ctlUART_dw with write(2), waiting for room as long
// as the line stays open: no time limit, since the controller decides the
// pace. After 5 s without any byte taken it logs a level-4 line once, and
// once more when bytes go out again. Gives up on a line error or hang-up,
// and at once when StopUARTWriters() was called (then also writes nothing
// more). Returns the number of bytes written; fewer than `len` only then.
// Requires: controller lock held, UART open (ctlUART_dw >= 0).
size_t WriteCtlUARTLocked(E1Controller* c, const char* data, size_t len);

// From now on no byte reaches any controller: writers waiting for room let
// go within 50 ms, later calls write nothing. Lock-free; for the exit path.
void StopUARTWriters();

// True once StopUARTWriters() was called.
bool UARTWritersStopped();

#endif  // E1CTLD_UART_UART_WRITER_H_
