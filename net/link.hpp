// The TCP connection to the one Modbus TCP server, and the descriptor
// routines both workers share for waiting, reading and writing.
#pragma once

#include <cstdint>
#include <ctime>
#include <sys/select.h>

#include "core/gateway_settings.hpp"
#include "modbus/frame.hpp"

struct MessageRing;
struct RecordCache;

struct NetContext {
    const GatewaySettings* settings;
    int sock;      // connection to the server; -1 while there is none
    int tx_fifo;   // our end of the response pipe (direct mode), else -1
    int rx_fifo;   // our end of the request pipe (direct mode), else -1
    MessageRing* ring;
    RecordCache* cache;
    FrameBuffer* frame;  // the worker's own 512-byte frame, made by tcp_init
    FrameBuffer* held;   // cache mode: a message the stick refused, kept for retries
};

// The first IPv4 address of host in host byte order, or 0.
[[nodiscard]] std::uint32_t tcp_resolve(const char* host);

// A connected blocking IPv4 stream socket with keep-alive, or -1. One attempt
// waits at most timeout_ms for the handshake (1000 ms when timeout_ms is 0).
[[nodiscard]] int tcp_connect(std::uint32_t address, std::uint32_t port, std::uint32_t timeout_ms);

void fdset_add(int fd, fd_set& set);

// One read of up to frame.size bytes when fd_slot is open and marked in set.
// 1 when bytes were read; on end of stream or error the descriptor is closed,
// the slot set to -1 and 0 returned.
[[nodiscard]] int read_if_ready(int& fd_slot, const fd_set& set, FrameBuffer& frame);

// Writes frame.len bytes in one write. 1 when all were written. A short or
// failed write closes the descriptor and sets the slot to -1, except when the
// descriptor is non-blocking and full (EAGAIN): that one message is dropped
// and the descriptor kept.
[[nodiscard]] int write_all_or_close(int& fd_slot, const FrameBuffer& frame);

// Sends frame.len bytes on a socket without ever waiting for room. 1 when all
// went out at once; anything less closes the socket and sets the slot to -1.
[[nodiscard]] int send_all_or_close(int& fd_slot, const FrameBuffer& frame);

// Connects when no attempt was started in this or the last five seconds of
// the monotonic clock; next_attempt counts in its seconds.
void link_reconnect(NetContext& ctx, std::time_t& next_attempt);

// A select time-out of ms milliseconds, for every 32-bit value.
[[nodiscard]] timeval timeval_from_ms(std::uint32_t ms);
