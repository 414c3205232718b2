// Small helpers shared by the test peers: hex text, numbers from the
// command line, the RTU checksum and a monotonic clock.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace peer {

// "01 03 00 2A": upper-case pairs separated by one blank, as the tests
// compare them.
inline std::string hex(const std::uint8_t* bytes, std::size_t count)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0)
            text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

inline std::string hex(const std::vector<std::uint8_t>& bytes)
{
    return hex(bytes.data(), bytes.size());
}

// A whole decimal (or 0x-prefixed hexadecimal) number within [low, high].
inline bool parse_number(std::string_view text, long low, long high, long& value)
{
    const std::string copy(text);
    if (copy.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    // Decimal unless 0x-prefixed: a leading zero does not mean octal here.
    const bool hexadecimal = copy.rfind("0x", 0) == 0 || copy.rfind("0X", 0) == 0;
    const long parsed = std::strtol(copy.c_str(), &end, hexadecimal ? 16 : 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

// Bytes from words such as "01", "0x2A" or "012A" (pairs of digits).
inline bool parse_hex_bytes(const std::vector<std::string>& words, std::vector<std::uint8_t>& out)
{
    for (std::string word : words) {
        if (word.rfind("0x", 0) == 0 || word.rfind("0X", 0) == 0)
            word.erase(0, 2);
        if (word.empty() || word.size() % 2 != 0)
            return false;
        for (std::size_t i = 0; i < word.size(); i += 2) {
            char* end = nullptr;
            const std::string pair = word.substr(i, 2);
            const long byte = std::strtol(pair.c_str(), &end, 16);
            if (*end != '\0')
                return false;
            out.push_back(static_cast<std::uint8_t>(byte));
        }
    }
    return true;
}

// Modbus RTU CRC-16 (reflected 0xA001, seed 0xFFFF), computed bit by bit so
// that it shares nothing with the daemon's table.
inline std::uint16_t rtu_crc(const std::uint8_t* bytes, std::size_t count)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

// Appends the checksum, low byte first as it goes on the line.
inline void append_crc(std::vector<std::uint8_t>& frame)
{
    const std::uint16_t crc = rtu_crc(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
}

inline double now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

inline void sleep_ms(long ms)
{
    if (ms <= 0)
        return;
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // namespace peer
