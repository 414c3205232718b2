#include "modbus/frame.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/log.hpp"

const char hex_tab[17] = "0123456789ABCDEF";

namespace {

constexpr std::int32_t hex_text_size = 8192;
// Each byte takes three characters; one more for the terminating zero.
constexpr std::int32_t hex_max_bytes = (hex_text_size - 1) / 3;

// Only the serial worker dumps frames, so this text has a single user.
char hex_text[hex_text_size];

} // namespace

FrameBuffer* frame_new(std::int32_t size)
{
    auto* frame = static_cast<FrameBuffer*>(std::malloc(sizeof(FrameBuffer)));
    if (frame == nullptr) {
        log_message(LOG_ERR, "alloc buf has failed (%s)", std::strerror(errno));
        return nullptr;
    }
    frame->data = static_cast<std::uint8_t*>(std::malloc(size > 0 ? size : 1));
    if (frame->data == nullptr) {
        log_message(LOG_ERR, "alloc data_ptr has failed(%s)", std::strerror(errno));
        std::free(frame);
        return nullptr;
    }
    frame->size = size;
    frame->len = 0;
    return frame;
}

void put_u16_le(std::uint8_t* data, std::int32_t& position, std::uint32_t value)
{
    data[position] = static_cast<std::uint8_t>(value & 0xFF);
    data[position + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    position += 2;
}

const char* hex_dump(const std::uint8_t* bytes, std::int32_t count)
{
    if (count < 0)
        count = 0;
    if (count > hex_max_bytes)
        count = hex_max_bytes;
    for (std::int32_t i = 0; i < count; ++i) {
        const unsigned b = bytes[i];
        hex_text[3 * i] = hex_tab[b >> 4];
        hex_text[3 * i + 1] = hex_tab[b & 0x0F];
        hex_text[3 * i + 2] = ' ';
    }
    hex_text[3 * count] = '\0';
    return hex_text;
}
