// The serial device: its lock file, line settings, RTS-keyed transmission,
// and the board's answer to which kind of port is fitted.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include "core/gateway_settings.hpp"
#include "modbus/frame.hpp"

struct MessageRing;

inline constexpr const char* gpio_device_path = "/dev/gpio";

// Port kinds as the board's GPIO driver reports them.
enum PortKind : int {
    port_kind_plain = 2,
    port_kind_rts = 3,      // transmissions keyed with RTS (RS-485 driver)
    port_kind_plain_alt = 11,
    port_kind_failed = 15,  // the query itself failed
};

// Driver requests: read direction, type 'B', numbers 9 (first port) and 11.
inline constexpr unsigned long gpio_kind_first_port = 0x80004209;
inline constexpr unsigned long gpio_kind_other_port = 0x8000420B;

struct SerialContext {
    const GatewaySettings* settings;
    char device_path[16];  // "/dev/" + device name, cut to 15 characters
    int port_fd;           // -1 while closed
    int rts_mode;          // 1: key every transmission with RTS
    int tx_fifo;           // our end of the request pipe (direct mode), else -1
    int rx_fifo;           // our end of the response pipe (direct mode), else -1
    MessageRing* ring;
    FrameBuffer* frame;    // the worker's 512-byte frame, made by serial_init
    // Counts the requests taken from the line (and the port's reopenings).
    // Direct mode tags each forwarded request with it; an answer whose tag
    // is no longer the count belongs to a request the master gave up on.
    std::uint32_t request_seq;
};

[[nodiscard]] int tty_open(const char* path, std::uint32_t baudrate, std::uint32_t databits,
                           const char* parity, std::uint32_t stopbits);
void tty_close(int fd);
[[nodiscard]] int serial_port_open(SerialContext& context);
void serial_write(int& port_fd, int& rts_mode, const FrameBuffer& frame, std::int32_t& len);

[[nodiscard]] int gpio_ioctl(unsigned long request, unsigned long argument);
[[nodiscard]] int serial_port_kind(int not_first_port);

// Takes "/var/lock/LCK..<name>" for device_path. 1 when held; 0 when a live
// process kept it for the whole time limit.
[[nodiscard]] int tty_lock(const char* device_path, int timeout_seconds);
[[nodiscard]] int process_alive(pid_t pid);
[[nodiscard]] long monotonic_seconds();
