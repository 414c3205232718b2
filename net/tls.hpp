// The secure link: TLS around the same Modbus TCP messages, behind the four
// calls the plain socket uses (connect, send, receive, close). The only file
// that includes the TLS library's headers is tls.cpp; it turns the library's
// errors into korvane's log lines and counters. One connection at a time,
// used by the network worker alone once tls_init has run.
#pragma once

#include <cstdint>
#include <sys/select.h>

#include "core/gateway_settings.hpp"
#include "modbus/frame.hpp"

// At start, on the main thread: reads the authority, korvane's certificate
// and key, and prepares the one connection's state. Each problem with the
// files is one log line. 0 when TLS is off or usable; 1 when the memory for
// a connection cannot be had (a start-up failure). TLS that is on but
// unusable (files missing, unreadable, a key that does not match, a build
// without TLS) returns 0 and leaves tls_usable false: korvane then never
// connects, and never in plain text.
[[nodiscard]] int tls_init(const GatewaySettings& settings);
[[nodiscard]] bool tls_usable();

// The handshake on a freshly connected socket, finished by deadline (the
// connect's own, in microseconds of the monotonic clock) and cut short when
// stop_fd (if not -1) becomes readable. The server's chain and name are
// verified; an earlier session is resumed when the server agrees. 1 when the
// link is up; otherwise the failure is logged (once per spell of the same
// kind), the socket closed and the slot set to -1, and 0 returned; or
// tls_resume_refused: the server failed a handshake that offered the last
// session, which is forgotten, unlogged: a new connection may try a full
// handshake at once.
inline constexpr int tls_resume_refused = 2;
[[nodiscard]] int tls_connect(int& fd_slot, std::int64_t deadline, int stop_fd);

// Sends frame.len bytes as one record without ever waiting for room: 1 when
// all went out; anything less closes the connection (slot -1).
[[nodiscard]] int tls_send(int& fd_slot, const FrameBuffer& frame);

// Reads decrypted bytes into frame (frame.len set, up to frame.size) when
// set marks the socket or the library holds bytes already. 1 while the
// connection is up (frame.len may be 0: only part of a record came); 0 when
// nothing was marked, or the connection ended (then closed, slot -1).
[[nodiscard]] int tls_receive(int& fd_slot, const fd_set& set, FrameBuffer& frame);

// Whether decrypted bytes wait inside the library, which select cannot see.
[[nodiscard]] bool tls_buffered();

// Tells the server the link ends, without waiting, and closes the socket
// ("connection was closed").
void tls_close(int& fd_slot);
