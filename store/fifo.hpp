// The two named pipes of direct mode. Requests travel from the serial worker
// to the forwarding worker through the request pipe, answers come back
// through the response pipe. Every end is opened read-write and non-blocking,
// and every writing end is switched to packet mode so that each write is
// read back as one message.
#pragma once

inline constexpr const char* request_fifo_path = "/var/run/korvane/serial_tcp.fifo";
inline constexpr const char* response_fifo_path = "/var/run/korvane/tcp_serial.fifo";

// Creates both pipes with mode 0600 (an existing path counts as created and
// is set to 0600). 0 when both exist; 1 after logging the failure.
[[nodiscard]] int fifos_create();

// Opens a pipe end read-write and non-blocking; the descriptor or -1.
[[nodiscard]] int fifo_open(const char* path);

// Turns a writing end to packet mode. 1 on success, 0 (errno set) otherwise.
[[nodiscard]] int fifo_packet_mode(int fd);
