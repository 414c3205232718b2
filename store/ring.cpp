#include "store/ring.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "core/counters.hpp"
#include "core/log.hpp"

namespace {

std::uint8_t* next_slot(const MessageRing& ring, std::uint8_t* slot)
{
    slot += ring_slot_size;
    return slot > ring.last ? ring.base : slot;
}

std::uint32_t slot_length(const std::uint8_t* slot)
{
    std::uint32_t length;
    std::memcpy(&length, slot + ring_message_size, sizeof length);
    return length;
}

} // namespace

int ring_init(MessageRing& ring, std::int32_t capacity)
{
    ring.base = static_cast<std::uint8_t*>(
        std::malloc(static_cast<std::size_t>(capacity) * ring_slot_size));
    if (ring.base == nullptr) {
        log_message(LOG_ERR, "cannot allocate ring buffer (%s)", std::strerror(errno));
        return 1;
    }
    ring.last = ring.base + static_cast<std::size_t>(capacity - 1) * ring_slot_size;
    ring.write_pos = ring.base;
    ring.read_pos = ring.base;
    ring.capacity = capacity;
    ring.used = 0;
    pthread_mutex_init(&ring.lock, nullptr);
    ring.pushed = 0;
    ring.taken = 0;
    ring.closed = false;
    ring.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ring.taken_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ring.wake_fd < 0 || ring.taken_fd < 0) {
        log_message(LOG_ERR, "cannot allocate ring buffer (%s)", std::strerror(errno));
        return 1;
    }
    return 0;
}

int ring_push(MessageRing& ring, const FrameBuffer& frame, std::uint32_t* ticket)
{
    // A longer message would overrun the slot into its length word.
    if (frame.len < 0 || frame.len > ring_message_size)
        return 0;
    pthread_mutex_lock(&ring.lock);
    if (ring.closed) {
        pthread_mutex_unlock(&ring.lock);
        return 0;
    }
    if (ring.used == ring.capacity) {
        log_message(LOG_NOTICE, "ring buffer is full, message were discarded");
        pthread_mutex_unlock(&ring.lock);
        return 0;
    }
    const auto length = static_cast<std::uint32_t>(frame.len);
    std::memcpy(ring.write_pos, frame.data, length);
    std::memcpy(ring.write_pos + ring_message_size, &length, sizeof length);
    ring.used += 1;
    ring.write_pos = next_slot(ring, ring.write_pos);
    ring.pushed += 1;
    if (ticket != nullptr)
        *ticket = ring.pushed;
    set_counter(counters.cache_ring, static_cast<std::uint32_t>(ring.used));
    pthread_mutex_unlock(&ring.lock);
    // A full counter (after 2^64 - 2 pushes nobody read) fails with EAGAIN
    // and is readable all the same.
    const std::uint64_t one = 1;
    (void)!write(ring.wake_fd, &one, sizeof one);
    return 1;
}

int ring_pop(MessageRing& ring, FrameBuffer& frame)
{
    pthread_mutex_lock(&ring.lock);
    if (ring.used == 0) {
        pthread_mutex_unlock(&ring.lock);
        return 0;
    }
    const std::uint32_t length = slot_length(ring.read_pos);
    std::memcpy(frame.data, ring.read_pos, length);
    frame.len = static_cast<std::int32_t>(length);
    ring.read_pos = next_slot(ring, ring.read_pos);
    ring.used -= 1;
    ring.taken += 1;
    set_counter(counters.cache_ring, static_cast<std::uint32_t>(ring.used));
    pthread_mutex_unlock(&ring.lock);
    return 1;
}

int ring_peek(MessageRing& ring, std::int32_t index, FrameBuffer& frame)
{
    pthread_mutex_lock(&ring.lock);
    if (index < 0 || index >= ring.used) {
        pthread_mutex_unlock(&ring.lock);
        return 0;
    }
    const std::int32_t at = static_cast<std::int32_t>((ring.read_pos - ring.base) / ring_slot_size);
    const std::uint8_t* slot = ring.base + static_cast<std::size_t>((at + index) % ring.capacity) * ring_slot_size;
    const std::uint32_t length = slot_length(slot);
    std::memcpy(frame.data, slot, length);
    frame.len = static_cast<std::int32_t>(length);
    pthread_mutex_unlock(&ring.lock);
    return 1;
}

void ring_drop(MessageRing& ring, std::int32_t drop)
{
    pthread_mutex_lock(&ring.lock);
    std::int32_t dropped = 0;
    for (; drop > 0 && ring.used > 0; --drop, ++dropped) {
        ring.read_pos = next_slot(ring, ring.read_pos);
        ring.used -= 1;
    }
    ring.taken += static_cast<std::uint32_t>(dropped);
    set_counter(counters.cache_ring, static_cast<std::uint32_t>(ring.used));
    pthread_mutex_unlock(&ring.lock);
    if (dropped > 0) {
        const std::uint64_t one = 1;
        (void)!write(ring.taken_fd, &one, sizeof one);
    }
}

std::int32_t ring_count(MessageRing& ring)
{
    pthread_mutex_lock(&ring.lock);
    const std::int32_t used = ring.used;
    pthread_mutex_unlock(&ring.lock);
    return used;
}

void ring_wake_clear(MessageRing& ring)
{
    std::uint64_t pushes = 0;
    (void)!read(ring.wake_fd, &pushes, sizeof pushes);
}

int ring_wait_taken(MessageRing& ring, std::uint32_t ticket, std::int64_t deadline_us)
{
    for (;;) {
        pthread_mutex_lock(&ring.lock);
        // Counted modulo 2^32: taken has reached ticket when the distance
        // from ticket is small.
        const bool done = static_cast<std::int32_t>(ring.taken - ticket) >= 0;
        pthread_mutex_unlock(&ring.lock);
        if (done)
            return 1;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::int64_t left_us =
            deadline_us - (static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
        if (left_us <= 0)
            return 0;
        pollfd wait{ring.taken_fd, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>((left_us + 999) / 1000)) > 0) {
            std::uint64_t takes = 0;
            (void)!read(ring.taken_fd, &takes, sizeof takes);
        }
    }
}

std::int32_t ring_close(MessageRing& ring)
{
    pthread_mutex_lock(&ring.lock);
    ring.closed = true;
    const std::int32_t used = ring.used;
    pthread_mutex_unlock(&ring.lock);
    return used;
}
