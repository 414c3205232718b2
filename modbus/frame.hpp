// The one container every message travels in, and the hex dump used to log it.
#pragma once

#include <cstddef>
#include <cstdint>

// All workers use 512-byte frames: the largest RTU frame the serial side
// gathers, and the largest TCP message an exchange sends or reads.
inline constexpr std::int32_t frame_capacity = 512;

struct FrameBuffer {
    std::uint8_t* data;  // storage, owned by the record
    std::int32_t size;   // capacity of data, fixed at creation
    std::int32_t len;    // valid bytes at the start of data
};

// Allocates a record and `size` bytes of storage, len 0. Logs and returns
// nullptr when either allocation fails; nothing is left allocated then.
[[nodiscard]] FrameBuffer* frame_new(std::int32_t size);

// Stores value little-endian at data[position]; position advances by 2.
void put_u16_le(std::uint8_t* data, std::int32_t& position, std::uint32_t value);

extern const char hex_tab[17];

// Upper-case hex pairs, each followed by a blank, in a static 8192-byte text
// that the next call overwrites. Input that would not fit is cut to the
// 2730 bytes that do. Single user: the serial worker.
const char* hex_dump(const std::uint8_t* bytes, std::int32_t count);
