#include "store/ring.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
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
    ring.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ring.wake_fd < 0) {
        log_message(LOG_ERR, "cannot allocate ring buffer (%s)", std::strerror(errno));
        return 1;
    }
    return 0;
}

int ring_push(MessageRing& ring, const FrameBuffer& frame)
{
    // A longer message would overrun the slot into its length word.
    if (frame.len < 0 || frame.len > ring_message_size)
        return 0;
    pthread_mutex_lock(&ring.lock);
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
    for (; drop > 0 && ring.used > 0; --drop) {
        ring.read_pos = next_slot(ring, ring.read_pos);
        ring.used -= 1;
    }
    set_counter(counters.cache_ring, static_cast<std::uint32_t>(ring.used));
    pthread_mutex_unlock(&ring.lock);
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
