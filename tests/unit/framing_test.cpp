// Frames, checksums and the RTU <-> TCP conversions, byte by byte.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "modbus/convert.hpp"
#include "modbus/crc.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A 512-byte frame as every worker uses, holding the given bytes.
struct Frame {
    // Room for at least 512 bytes, more when a test hands in a longer message.
    explicit Frame(const Bytes& bytes = {})
        : frame(frame_new(std::max<std::int32_t>(frame_capacity, static_cast<std::int32_t>(bytes.size()))))
    {
        if (!bytes.empty())  // an empty vector's data() may be null
            std::memcpy(frame->data, bytes.data(), bytes.size());
        frame->len = static_cast<std::int32_t>(bytes.size());
    }
    ~Frame()
    {
        std::free(frame->data);
        std::free(frame);
    }
    Bytes bytes() const { return Bytes(frame->data, frame->data + frame->len); }
    FrameBuffer& operator*() { return *frame; }
    FrameBuffer* operator->() { return frame; }
    FrameBuffer* frame;
};

TEST(Crc, TableMatchesTheProtocolsTable)
{
    EXPECT_EQ(CRCTABLE[0], 0x0000u);
    EXPECT_EQ(CRCTABLE[1], 0xC0C1u);
    EXPECT_EQ(CRCTABLE[128], 0xA001u);
    EXPECT_EQ(CRCTABLE[255], 0x4040u);
    for (auto entry : CRCTABLE)
        EXPECT_EQ(entry >> 16, 0u);
}

TEST(Crc, AppendSealsFramesLowByteFirst)
{
    Frame read_request({0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
    crc16_append(*read_request);
    EXPECT_EQ(read_request.bytes(), (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));

    Frame empty;
    crc16_append(*empty);
    EXPECT_EQ(empty.bytes(), (Bytes{0xFF, 0xFF}));

    // Exception answer as the serial side sends it.
    Frame exception({0x01, 0x83, 0x01});
    crc16_append(*exception);
    EXPECT_EQ(exception.bytes(), (Bytes{0x01, 0x83, 0x01, 0x80, 0xF0}));
}

TEST(Crc, AppendNeverWritesPastTheBuffer)
{
    for (std::int32_t len : {511, 512}) {
        Frame full;
        std::memset(full->data, 0x5A, frame_capacity);
        full->len = len;
        crc16_append(*full);
        EXPECT_EQ(full->len, len);
        EXPECT_EQ(full->data[frame_capacity - 1], 0x5A);
    }
    Frame room(Bytes(510, 0x11));
    crc16_append(*room);
    EXPECT_EQ(room->len, 512);
}

TEST(Crc, CheckStripsTheChecksum)
{
    Frame good({0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A});
    EXPECT_EQ(crc16_check_strip(*good), 1);
    EXPECT_EQ(good.bytes(), (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01}));

    // A wrong checksum still loses its last two bytes: the log dump shows
    // the frame without them.
    Frame bad({0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x0A, 0x84});
    EXPECT_EQ(crc16_check_strip(*bad), 0);
    EXPECT_EQ(bad->len, 6);

    // Three bytes or fewer cannot carry a checksum and keep their length.
    for (std::size_t n = 0; n <= 3; ++n) {
        Frame short_frame(Bytes(n, 0xFF));
        EXPECT_EQ(crc16_check_strip(*short_frame), 0);
        EXPECT_EQ(short_frame->len, static_cast<std::int32_t>(n));
    }

    // With four bytes the checksum covers the first two: 01 03 seals with 40 21.
    Frame four({0x01, 0x03, 0x40, 0x21});
    EXPECT_EQ(crc16_check_strip(*four), 1);
    EXPECT_EQ(four.bytes(), (Bytes{0x01, 0x03}));
}

TEST(HexDump, PairsWithTrailingBlanks)
{
    const std::uint8_t bytes[] = {0x01, 0x83, 0x0B, 0xAB};
    EXPECT_STREQ(hex_dump(bytes, 0), "");
    EXPECT_STREQ(hex_dump(bytes + 3, 1), "AB ");
    EXPECT_STREQ(hex_dump(bytes, 3), "01 83 0B ");
    EXPECT_STREQ(hex_tab, "0123456789ABCDEF");
}

TEST(HexDump, LongInputIsCutToTheText)
{
    std::vector<std::uint8_t> many(5000, 0xEE);
    const std::string text = hex_dump(many.data(), static_cast<std::int32_t>(many.size()));
    EXPECT_EQ(text.size(), 3u * 2730u);
    EXPECT_EQ(text.substr(0, 6), "EE EE ");
    const std::string full_frame = hex_dump(many.data(), 512);
    EXPECT_EQ(full_frame.size(), 3u * 512u);
}

TEST(Frame, NewFrameIsEmptyWithItsCapacity)
{
    Frame frame;
    EXPECT_EQ(frame->size, 512);
    EXPECT_EQ(frame->len, 0);
    EXPECT_NE(frame->data, nullptr);
}

TEST(ByteOrder, BigAndLittleEndianPositionsAdvance)
{
    std::uint8_t data[6] = {};
    std::int32_t position = 0;
    put_u16_be(data, position, 0x1234);
    put_u16_le(data, position, 0x1234);
    put_u16_be(data, position, 0xABCDEF);  // only the low 16 bits count
    EXPECT_EQ(position, 6);
    EXPECT_EQ(Bytes(data, data + 6), (Bytes{0x12, 0x34, 0x34, 0x12, 0xCD, 0xEF}));
    position = 0;
    EXPECT_EQ(get_u16_be(data, position), 0x1234);
    EXPECT_EQ(get_u16_be(data, position), 0x3412);
    EXPECT_EQ(position, 4);
}

TEST(Convert, RtuToTcpAddsTheHeader)
{
    Frame rtu({0x01, 0x06, 0x00, 0x10, 0x00, 0x2A});
    Frame tcp;
    ASSERT_EQ(rtu_to_tcp(*rtu, *tcp, 7), 1);
    EXPECT_EQ(tcp.bytes(),
              (Bytes{0x00, 0x07, 0x00, 0x00, 0x00, 0x06, 0x01, 0x06, 0x00, 0x10, 0x00, 0x2A}));

    Frame first({0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
    ASSERT_EQ(rtu_to_tcp(*first, *tcp, 0xFFFF), 1);
    EXPECT_EQ(tcp.bytes(),
              (Bytes{0xFF, 0xFF, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01}));
}

TEST(Convert, RtuToTcpRefusesWhatDoesNotFit)
{
    Frame largest(Bytes(506, 0x22));
    Frame tcp;
    ASSERT_EQ(rtu_to_tcp(*largest, *tcp, 1), 1);
    EXPECT_EQ(tcp->len, 512);
    EXPECT_EQ(tcp->data[4], 0x01);  // length 506 = 0x01FA
    EXPECT_EQ(tcp->data[5], 0xFA);

    Frame too_long(Bytes(507, 0x22));
    Frame untouched(Bytes(3, 0x33));
    EXPECT_EQ(rtu_to_tcp(*too_long, *untouched, 1), 0);
    EXPECT_EQ(untouched->len, 0);
}

TEST(Convert, TcpToRtuTakesEverythingAfterTheHeader)
{
    Frame tcp({0x00, 0x07, 0x00, 0x00, 0x00, 0x06, 0x01, 0x06, 0x00, 0x10, 0x00, 0x2A});
    Frame rtu;
    std::uint16_t id = 0;
    tcp_to_rtu(*tcp, *rtu, id);
    EXPECT_EQ(id, 7);
    EXPECT_EQ(rtu.bytes(), (Bytes{0x01, 0x06, 0x00, 0x10, 0x00, 0x2A}));

    // The length field is not believed: the bytes received decide.
    Frame lying({0x00, 0x01, 0x00, 0x00, 0x00, 0x63, 0x01, 0x03, 0x02, 0x00, 0x2A});
    tcp_to_rtu(*lying, *rtu, id);
    EXPECT_EQ(id, 1);
    EXPECT_EQ(rtu.bytes(), (Bytes{0x01, 0x03, 0x02, 0x00, 0x2A}));
}

TEST(Convert, TcpToRtuEdgeLengths)
{
    Frame rtu;
    std::uint16_t id = 0;

    Frame header_only({0x12, 0x34, 0x00, 0x00, 0x00, 0x00});
    rtu->len = 9;
    tcp_to_rtu(*header_only, *rtu, id);
    EXPECT_EQ(id, 0x1234);
    EXPECT_EQ(rtu->len, 0);

    Frame shorter({0x00, 0x05, 0x00});
    rtu->len = 9;
    tcp_to_rtu(*shorter, *rtu, id);
    EXPECT_EQ(id, 5);
    EXPECT_EQ(rtu->len, 0);

    Frame payload_511(Bytes(517, 0x44));
    tcp_to_rtu(*payload_511, *rtu, id);
    EXPECT_EQ(rtu->len, 511);

    Frame payload_512(Bytes(518, 0x44));
    rtu->len = 9;
    tcp_to_rtu(*payload_512, *rtu, id);
    EXPECT_EQ(rtu->len, 0);
}

TEST(Convert, ExceptionResponses)
{
    Frame request({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03});
    make_exception(*request, ex_illegal_function);
    EXPECT_EQ(request.bytes(), (Bytes{0x11, 0x83, 0x01}));

    Frame flagged({0x11, 0x83, 0x00, 0x6B});
    make_exception(*flagged, ex_gateway_target_failed);
    EXPECT_EQ(flagged.bytes(), (Bytes{0x11, 0x83, 0x0B}));

    Frame write({0x01, 0x06, 0x00, 0x10, 0x00, 0x2A});
    make_exception(*write, ex_gateway_path_unavailable);
    EXPECT_EQ(write.bytes(), (Bytes{0x01, 0x86, 0x0A}));
}

TEST(Convert, WriteAcknowledgements)
{
    Frame multiple({0x01, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02});
    make_write_ack(*multiple);
    EXPECT_EQ(multiple.bytes(), (Bytes{0x01, 0x10, 0x00, 0x01, 0x00, 0x02}));

    Frame coils({0x01, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01});
    make_write_ack(*coils);
    EXPECT_EQ(coils.bytes(), (Bytes{0x01, 0x0F, 0x00, 0x13, 0x00, 0x0A}));

    for (const Bytes& echoed : {Bytes{0x01, 0x05, 0x00, 0xAC, 0xFF, 0x00},
                                Bytes{0x01, 0x06, 0x00, 0x10, 0x00, 0x2A},
                                Bytes{0x01, 0x16, 0x00, 0x04, 0x00, 0xF2, 0x00, 0x25}}) {
        Frame frame(echoed);
        make_write_ack(*frame);
        EXPECT_EQ(frame.bytes(), echoed);
    }

    // A request with fewer bytes than the answer is never lengthened.
    Frame stub({0x01, 0x10, 0x00, 0x01});
    make_write_ack(*stub);
    EXPECT_EQ(stub->len, 4);
}

TEST(Convert, CacheableFunctionsAreTheWrites)
{
    for (std::uint8_t code : {1, 2, 3, 4, 7, 23, 43, 0x86}) {
        Frame frame({0x01, code});
        EXPECT_EQ(is_cacheable_function(*frame), 0) << int(code);
    }
    for (std::uint8_t code : {5, 6, 15, 16, 22}) {
        Frame frame({0x01, code});
        EXPECT_EQ(is_cacheable_function(*frame), 1) << int(code);
    }
    Frame unit_only({0x01});
    EXPECT_EQ(is_cacheable_function(*unit_only), 0);
}

TEST(Convert, UnitAndFunctionAreCopied)
{
    Frame answer({0x07, 0x86, 0x02});
    std::uint8_t holder[2] = {};
    copy_unit_and_function(*answer, holder);
    EXPECT_EQ(holder[0], 0x07);
    EXPECT_EQ(holder[1], 0x86);
}

} // namespace
