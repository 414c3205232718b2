// The TCP connection to the one Modbus TCP server: connecting, the paced
// reconnect, the receive stream every read of the socket goes through, and
// the hand-off of host-name lookups to the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

#include "core/gateway_settings.hpp"
#include "modbus/frame.hpp"
#include "net/descriptors.hpp"

struct MessageRing;
struct RecordCache;

// Host-name lookups run on the main thread (daemon/lookup): a name server that
// does not answer holds a lookup for 10 s and more, and a worker held that
// long serves neither the line nor the stick.
struct NameLookup {
    int wake_fd;                          // eventfd the worker writes to ask for one
    int done_fd;                          // eventfd the main thread writes after each
    std::atomic<std::uint32_t> asked;     // lookups asked for so far
    std::atomic<std::uint32_t> answered;  // lookups finished so far
    std::atomic<std::uint32_t> address;  // the last address found, host order; 0: none yet
    bool waiting;                         // worker only: an attempt waits for a first address
};

struct NetContext {
    const GatewaySettings* settings;
    int sock;      // connection to the server; -1 while there is none
    int tx_fifo;   // our end of the response pipe (direct mode), else -1
    int rx_fifo;   // our end of the request pipe (direct mode), else -1
    MessageRing* ring;
    RecordCache* cache;
    FrameBuffer* frame;   // the worker's own 512-byte frame, made by tcp_init
    // Bytes received on sock and not yet taken as messages. A late answer may
    // have been half read when its exchange gave up; the rest must still be
    // framed as its tail, so the stream lives as long as the connection and
    // is emptied only when the connection is made or closed.
    FrameBuffer* stream;
    std::uint32_t timeout_ms;  // the exchange and connect time-out in use
    NameLookup lookup;
    // Cache mode's orderly stop: the main thread makes stop_fd readable;
    // the worker cuts an exchange short, puts the ring on the stick, says
    // how many messages it kept and lost, and makes stopped_fd readable.
    int stop_fd;
    int stopped_fd;
    std::atomic<std::uint32_t> stop_kept;
    std::atomic<std::uint32_t> stop_lost;
};


// A connected blocking IPv4 stream socket with keep-alive and without send
// delay, or -1. One attempt waits at most timeout_ms for the handshake, and
// ends at once, unlogged, when stop_fd (-1: none) becomes readable.
[[nodiscard]] int tcp_connect(std::uint32_t address, std::uint32_t port, std::uint32_t timeout_ms, int stop_fd);

// Sends frame.len bytes on a socket without ever waiting for room. 1 when all
// went out at once; anything less closes the socket and sets the slot to -1.
[[nodiscard]] int send_all_or_close(int& fd_slot, const FrameBuffer& frame);

// Sends a whole message over the connection, plain or TLS, without
// waiting for room; anything less closes it. 1 when all went out.
[[nodiscard]] int link_send(NetContext& ctx, const FrameBuffer& frame);

// Whether received bytes wait that select cannot see (decrypted by TLS):
// a wait must then not block.
[[nodiscard]] bool link_buffered(const NetContext& ctx);

// Connects when no attempt ended in this or the last five seconds of the
// monotonic clock; next_attempt counts in its seconds. A host name is looked
// up by the main thread; the last address found is used meanwhile, and
// without one the attempt waits for the first lookup to finish.
void link_reconnect(NetContext& ctx, std::time_t& next_attempt);

// What a worker without a connection waits for on the link's behalf: the
// end of the first lookup of a name (added to set) and the next attempt
// falling due (returned, in microseconds of the monotonic clock; 0 while
// connected or waiting for the lookup alone, read as "no such time").
[[nodiscard]] std::int64_t link_wait_for(NetContext& ctx, std::time_t next_attempt, fd_set& set);
// After the wait: empties the lookup's event when set marks it.
void link_woken(NetContext& ctx, const fd_set& set);

// Tells the counters whether the connection is up (and counts one lost).
// Network worker only, once a turn.
void link_publish(const NetContext& ctx);

// Gives the connection up: "connection was closed", socket closed, stream
// emptied.
void link_close(NetContext& ctx);

// One read of the socket, when set marks it (or TLS holds bytes), onto the
// end of the stream. 1 when bytes came (over TLS: while the connection is
// up, as part of a record may come alone); 0 when none did or the
// connection ended (then closed).
[[nodiscard]] int link_receive(NetContext& ctx, const fd_set& set);

enum StreamTake : int {
    stream_empty = 0,    // no whole message held
    stream_message = 1,  // one taken
    stream_broken = -1,  // the stream has lost its step
};

// Takes the oldest whole Modbus TCP message off the front of the stream:
// its transaction identifier and, in answer, its unit identifier and PDU. A
// protocol identifier other than 0 or a length field outside 2..254 cannot
// start a Modbus message: the stream has lost its step (logged), and no
// message after it can be found.
[[nodiscard]] int stream_take(FrameBuffer& stream, std::uint16_t& id, FrameBuffer& answer);
