// Descriptor routines both workers share: waiting with select, reading and
// writing whole messages, and deadlines on the monotonic clock. A descriptor
// is an int slot holding -1 while closed; the routines that find one broken
// close it and store -1 into the caller's slot.
#pragma once

#include <cstdint>
#include <sys/select.h>

#include "modbus/frame.hpp"

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

// The same for a pipe message that carries a request's sequence number in
// front of the frame, so that an answer can be told from a stale one. Written
// and read with one call each: packet mode keeps a message whole.
[[nodiscard]] int write_tagged_or_close(int& fd_slot, std::uint32_t tag, const FrameBuffer& frame);
[[nodiscard]] int read_tagged_if_ready(int& fd_slot, const fd_set& set, std::uint32_t& tag,
                                       FrameBuffer& frame);

// Closes a descriptor found broken, logs "connection was closed", sets -1.
void close_broken(int& fd_slot);

// A select time-out of ms milliseconds, for every 32-bit value.
[[nodiscard]] timeval timeval_from_ms(std::uint32_t ms);

// Microseconds of the monotonic clock: deadlines that no wall-clock step
// can move.
[[nodiscard]] std::int64_t monotonic_now_us();
[[nodiscard]] std::int64_t deadline_after_ms(std::uint32_t ms);
// What is left until deadline as a select time-out; zero once it has passed.
// Worked out before every wait: musl's select, unlike Linux's, does not lower
// its timeval by the time waited.
[[nodiscard]] timeval time_left(std::int64_t deadline);
