// The serial worker: the daemon's face towards the Modbus master on the line.
#pragma once

#include "serial/port.hpp"

// Checks the port kind, takes the lock, opens the port and (direct mode) the
// serial ends of the pipes, and starts the worker thread. 0 when it runs; 1
// after logging a failure.
[[nodiscard]] int serial_init(const GatewaySettings& settings, MessageRing& ring,
                              SerialContext& context);

[[noreturn]] void serial_worker(SerialContext& context);

// One turn with the port open: waits for the line or the response pipe,
// handles a request gathered from the line, then passes on an answer from
// the pipe.
void serial_turn(SerialContext& context, FrameBuffer& frame);
