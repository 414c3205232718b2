// Conversions between checksum-less RTU frames (unit identifier + PDU) and
// Modbus TCP messages (7-byte MBAP header less the unit identifier, i.e. a
// 6-byte prefix: transaction id, protocol id 0, length), and the in-place
// rewrites the workers use to answer the serial master themselves.
#pragma once

#include <cstdint>

#include "modbus/frame.hpp"

// Transaction id, protocol id and length, each 16 bits big-endian.
inline constexpr std::int32_t tcp_header_size = 6;
// The largest RTU frame that still fits a 512-byte TCP message.
inline constexpr std::int32_t max_tcp_payload = frame_capacity - tcp_header_size;
// The shortest write request: unit, function and an address with a value or
// quantity.
inline constexpr std::int32_t min_write_request_len = 6;

enum FunctionCode : std::uint8_t {
    fc_write_single_coil = 5,
    fc_write_single_register = 6,
    fc_write_multiple_coils = 15,
    fc_write_multiple_registers = 16,
    fc_mask_write_register = 22,
    fc_exception_flag = 0x80,
};

enum ExceptionCode : std::uint8_t {
    ex_illegal_function = 1,
    ex_illegal_data_value = 3,
    ex_server_device_failure = 4,
    ex_gateway_path_unavailable = 10,
    ex_gateway_target_failed = 11,
};

void put_u16_be(std::uint8_t* data, std::int32_t& position, std::uint32_t value);
[[nodiscard]] std::uint16_t get_u16_be(const std::uint8_t* data, std::int32_t& position);

// Builds the TCP message for rtu under the given transaction id. Returns 1;
// returns 0 and leaves tcp empty when the message would not fit tcp.
[[nodiscard]] int rtu_to_tcp(const FrameBuffer& rtu, FrameBuffer& tcp, std::uint16_t transaction_id);

// Everything after the sixth byte of tcp becomes rtu; a message whose payload
// would not fit 512 bytes (or that is shorter than its header) gives an empty
// frame. The length field is not compared with the bytes received.
void tcp_to_rtu(const FrameBuffer& tcp, FrameBuffer& rtu, std::uint16_t& transaction_id_out);

// Rewrites a request into the 3-byte exception response carrying code.
void make_exception(FrameBuffer& frame, std::uint8_t code);

// 1 for the write functions cache mode queues: 5, 6, 15, 16 and 22.
[[nodiscard]] int is_cacheable_function(const FrameBuffer& frame);

// 1 for a request to unit 0, the RTU broadcast address: every slave acts on
// it and none answers.
[[nodiscard]] int is_broadcast(const FrameBuffer& frame);

// Shortens a 15 or 16 request to its 6-byte normal response (unit, function,
// start address, quantity); the responses to 5, 6 and 22 repeat the request.
void make_write_ack(FrameBuffer& frame);

void copy_unit_and_function(const FrameBuffer& frame, std::uint8_t holder[2]);
