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
