#include "modbus/crc.hpp"

int crc16_check_strip(FrameBuffer& frame)
{
    if (frame.len < 4)
        return 0;
    const std::uint16_t computed = crc16(frame.data, frame.len - 2);
    const std::uint32_t received =
        frame.data[frame.len - 2] + 256u * frame.data[frame.len - 1];
    frame.len -= 2;
    return computed == received ? 1 : 0;
}

void crc16_append(FrameBuffer& frame)
{
    if (frame.len < 0 || frame.len > frame.size - 2)
        return;
    put_u16_le(frame.data, frame.len, crc16(frame.data, frame.len));
}
