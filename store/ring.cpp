#include "store/ring.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

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
    pthread_mutex_unlock(&ring.lock);
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
    pthread_mutex_unlock(&ring.lock);
    return 1;
}
