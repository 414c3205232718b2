// The in-memory queue between the serial worker (pushes) and the
// store-and-forward worker (pops) in cache mode.
#pragma once

#include <cstdint>
#include <pthread.h>

#include "modbus/frame.hpp"

// A slot: 512 message bytes, then the message length as a host-order word.
inline constexpr std::int32_t ring_message_size = 512;
inline constexpr std::int32_t ring_slot_size = ring_message_size + 4;
inline constexpr std::int32_t ring_slots = 100;

struct MessageRing {
    std::uint8_t* base;       // first slot; all slots back to back
    std::uint8_t* last;       // last slot
    std::uint8_t* write_pos;  // slot the next push fills
    std::uint8_t* read_pos;   // slot the next pop empties
    std::int32_t capacity;
    std::int32_t used;        // full and empty are told apart by this alone
    pthread_mutex_t lock;     // guards everything above, slot bytes included
    // Readable after a push: the consumer waits on it instead of polling.
    // Non-blocking eventfd; the consumer empties it with ring_wake_clear.
    int wake_fd;
    // Messages ever pushed, and ever taken out (delivered or on the stick):
    // a message pushed as the n-th is safe once taken reaches n. Readable
    // after a take, for the one producer waiting on that.
    std::uint32_t pushed;
    std::uint32_t taken;
    int taken_fd;
    // Set when korvane stops: nothing more is taken in.
    bool closed;
};

// Allocates capacity slots. 0 on success; 1 after logging a failed allocation.
[[nodiscard]] int ring_init(MessageRing& ring, std::int32_t capacity);

// Stores a copy of frame's len bytes. 1 when stored (ticket, if given, then
// tells the message for ring_wait_taken); 0 when the ring is full (logged),
// closed, or the message is longer than a slot.
[[nodiscard]] int ring_push(MessageRing& ring, const FrameBuffer& frame, std::uint32_t* ticket = nullptr);

// Waits until the message of ticket has been taken out of the ring, or the
// monotonic deadline (microseconds) has passed. 1 when it was taken.
[[nodiscard]] int ring_wait_taken(MessageRing& ring, std::uint32_t ticket, std::int64_t deadline_us);

// Takes nothing more in; returns how many messages wait in the ring.
std::int32_t ring_close(MessageRing& ring);

// Moves the oldest message into frame (which must hold 512 bytes). 1 when a
// message was taken; 0 when the ring is empty, frame untouched.
[[nodiscard]] int ring_pop(MessageRing& ring, FrameBuffer& frame);

// The one consumer may look at a message before it takes it: a copy of the
// message `index` places behind the oldest into frame. 1, or 0 when there is
// no such message. A message stays in the ring (and keeps the ring from
// taking more writes) until it is delivered or on the stick.
[[nodiscard]] int ring_peek(MessageRing& ring, std::int32_t index, FrameBuffer& frame);
// Forgets the count oldest messages (at most as many as there are).
void ring_drop(MessageRing& ring, std::int32_t count);
[[nodiscard]] std::int32_t ring_count(MessageRing& ring);
void ring_wake_clear(MessageRing& ring);
