// Modbus RTU checksum: CRC-16 with the reflected polynomial 0xA001, seeded
// with 0xFFFF, sent low byte first.
#pragma once

#include <array>
#include <cstdint>

#include "modbus/frame.hpp"

namespace crc_detail {

constexpr std::array<std::uint32_t, 256> make_table()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
        table[i] = crc;
    }
    return table;
}

} // namespace crc_detail

// Entry i is the CRC of the single byte i; the high 16 bits are always zero.
inline constexpr std::array<std::uint32_t, 256> CRCTABLE = crc_detail::make_table();

// The three entries the protocol publishes.
static_assert(CRCTABLE[1] == 0xC0C1);
static_assert(CRCTABLE[128] == 0xA001);
static_assert(CRCTABLE[255] == 0x4040);

constexpr std::uint16_t crc16(const std::uint8_t* bytes, std::int32_t count)
{
    std::uint32_t crc = 0xFFFF;
    for (std::int32_t i = 0; i < count; ++i)
        crc = (CRCTABLE[(bytes[i] ^ crc) & 0xFF] & 0xFFFF) ^ (crc >> 8);
    return static_cast<std::uint16_t>(crc);
}

// Checks the last two bytes against the CRC of the rest. Frames of fewer
// than 4 bytes fail and keep their length; longer ones lose the two CRC
// bytes whether or not they matched. 1 when the checksum is right.
[[nodiscard]] int crc16_check_strip(FrameBuffer& frame);

// Appends the CRC of the len bytes. A frame without room for two more bytes
// (len > size - 2) is left as it is: callers must not send such a frame.
void crc16_append(FrameBuffer& frame);
