// The values read from the settings file at start. Every side of
// the daemon reads them; nothing changes them after start-up. This header
// holds the plain record alone so that the lower layers can read it without
// depending on the settings reader.
#pragma once

#include <cstdint>

struct GatewaySettings {
    std::uint32_t enabled;       // read and kept; nothing depends on it
    const char* device;          // serial device name below /dev/
    std::uint32_t baudrate;
    std::uint32_t databits;
    const char* parity;          // first character O (odd) or E (even)
    std::uint32_t stopbits;
    std::uint32_t split;         // quiet gap ending a frame, milliseconds
    const char* addr;            // host name or dotted IPv4 of the server
    std::uint32_t port;          // low 16 bits used
    std::uint32_t timeout;       // answer time-out, milliseconds
    std::uint32_t cache_mode;    // 0 direct mode, anything else cache mode
    std::uint32_t use_slave_id;  // non-zero: serve only slave_id
    std::uint32_t slave_id;
    std::uint32_t durable;       // cache mode, non-zero: acknowledge a write only once it is durable
    // The secure link (TLS); the texts are empty when not set.
    std::uint32_t tls;           // non-zero: TLS to the server, never plain TCP
    const char* tls_ca;          // PEM: the authority (or the server's own certificate) to trust
    const char* tls_cert;        // PEM: korvane's certificate chain
    const char* tls_key;         // PEM: its unencrypted private key
    const char* tls_name;        // the name the server's certificate must carry; empty: addr
};

// A time-out setting of 0 (a missing key) cannot mean a mere poll: an answer
// or a handshake needs a round trip. It stands for one second, the first
// SYN's retransmission time.
inline constexpr std::uint32_t timeout_for_zero_ms = 1000;
// No master waits longer than a minute for an answer.
inline constexpr std::uint32_t longest_timeout_ms = 60000;

// The time-out every exchange and connection attempt waits, in ms.
[[nodiscard]] constexpr std::uint32_t timeout_in_use(const GatewaySettings& settings)
{
    if (settings.timeout == 0)
        return timeout_for_zero_ms;
    return settings.timeout < longest_timeout_ms ? settings.timeout : longest_timeout_ms;
}

// The line speeds a serial port can be set to, in bits per second; any
// other setting gives the fallback.
inline constexpr std::uint32_t line_speeds[] = {
    300,    600,     1200,    2400,    4800,    9600,    19200,   38400,   57600,   115200,  230400, 460800,
    500000, 576000,  921600,  1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000,
};
inline constexpr std::uint32_t fallback_line_speed = 9600;

[[nodiscard]] constexpr bool line_speed_known(std::uint32_t baudrate)
{
    for (const std::uint32_t speed : line_speeds)
        if (speed == baudrate)
            return true;
    return false;
}
