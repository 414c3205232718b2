#include "modbus/convert.hpp"

#include <cstring>

void put_u16_be(std::uint8_t* data, std::int32_t& position, std::uint32_t value)
{
    data[position] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    data[position + 1] = static_cast<std::uint8_t>(value & 0xFF);
    position += 2;
}

std::uint16_t get_u16_be(const std::uint8_t* data, std::int32_t& position)
{
    const std::uint16_t value = static_cast<std::uint16_t>(data[position] * 256 + data[position + 1]);
    position += 2;
    return value;
}

int rtu_to_tcp(const FrameBuffer& rtu, FrameBuffer& tcp, std::uint16_t transaction_id)
{
    if (rtu.len < 0 || rtu.len > tcp.size - tcp_header_size) {
        tcp.len = 0;
        return 0;
    }
    std::int32_t position = 0;
    put_u16_be(tcp.data, position, transaction_id);
    put_u16_be(tcp.data, position, 0);
    put_u16_be(tcp.data, position, static_cast<std::uint32_t>(rtu.len));
    std::memcpy(tcp.data + tcp_header_size, rtu.data, static_cast<std::size_t>(rtu.len));
    tcp.len = rtu.len + tcp_header_size;
    return 1;
}

void tcp_to_rtu(const FrameBuffer& tcp, FrameBuffer& rtu, std::uint16_t& transaction_id_out)
{
    std::int32_t position = 0;
    transaction_id_out = get_u16_be(tcp.data, position);
    // The protocol identifier and the length field are skipped, not compared.
    const auto payload = static_cast<std::uint32_t>(tcp.len - tcp_header_size);
    if (payload >= static_cast<std::uint32_t>(frame_capacity) ||
        payload > static_cast<std::uint32_t>(rtu.size)) {
        rtu.len = 0;
        return;
    }
    std::memcpy(rtu.data, tcp.data + tcp_header_size, payload);
    rtu.len = static_cast<std::int32_t>(payload);
}

void make_exception(FrameBuffer& frame, std::uint8_t code)
{
    if (frame.size < 3)
        return;
    frame.data[1] = static_cast<std::uint8_t>((frame.data[1] & 0x7F) | fc_exception_flag);
    frame.data[2] = code;
    frame.len = 3;
}

int is_broadcast(const FrameBuffer& frame)
{
    return frame.len > 0 && frame.data[0] == 0 ? 1 : 0;
}

int is_cacheable_function(const FrameBuffer& frame)
{
    if (frame.len < 2)
        return 0;
    switch (frame.data[1]) {
    case fc_write_single_coil:
    case fc_write_single_register:
    case fc_write_multiple_coils:
    case fc_write_multiple_registers:
    case fc_mask_write_register:
        return 1;
    default:
        return 0;
    }
}

void make_write_ack(FrameBuffer& frame)
{
    if (frame.len < 2)
        return;
    const std::uint8_t function = frame.data[1];
    if ((function == fc_write_multiple_coils || function == fc_write_multiple_registers) &&
        frame.len > 6)
        frame.len = 6;
}

void copy_unit_and_function(const FrameBuffer& frame, std::uint8_t holder[2])
{
    holder[0] = frame.data[0];
    holder[1] = frame.data[1];
}
