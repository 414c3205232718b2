// Line bytes: a frame gathered from the serial line goes through one turn of
// the serial worker (CRC check, slave filter, either mode), together with an
// answer waiting in the response pipe. What reaches the line, the request
// pipe and the ring must be what the master and the network side expect.
//
// Input: flags (bit 0 cache mode, bit 1 slave filter, bit 2 slave id + 256,
// bit 3 ring full, bit 4 the answer is for an earlier request), slave id, request length (2 bytes), the request as
// gathered, then the answer in the response pipe.
#include <csignal>
#include <sys/socket.h>

#include "modbus/convert.hpp"
#include "modbus/crc.hpp"
#include "serial/worker.hpp"
#include "store/fifo.hpp"
#include "store/ring.hpp"
#include "tests/fuzz/fuzz_support.hpp"

namespace {

using fz::Bytes;

GatewaySettings settings{};
MessageRing ring{};
SerialContext context{};
FrameBuffer* frame;
FrameBuffer* popped;
int line_peer;       // the master's end of the line
int request_reader;  // the forwarding worker's end of the request pipe
int answer_reader;   // the serial worker's end of the response pipe
int answer_writer;   // the forwarding worker's end of the response pipe

// Every message waiting on a descriptor, one per write.
std::vector<Bytes> messages(int fd)
{
    std::vector<Bytes> out;
    std::uint8_t buffer[4096];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
        out.emplace_back(buffer, buffer + got);
    return out;
}

Bytes with_crc(Bytes bytes)
{
    const std::uint16_t crc = crc16(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    bytes.push_back(static_cast<std::uint8_t>(crc));
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
    return bytes;
}

// The line answer cache mode owes an accepted request.
Bytes cache_mode_answer(const Bytes& request, bool ring_full)
{
    const std::uint8_t function = request[1];
    const bool write = function == 5 || function == 6 || function == 15 || function == 16 ||
                       function == 22;
    std::uint8_t code = 0;
    if (!write)
        code = ex_illegal_function;
    else if (request.size() < 6)
        code = ex_illegal_data_value;
    else if (request.size() > static_cast<std::size_t>(max_tcp_payload) || ring_full)
        code = ex_server_device_failure;
    if (code != 0)
        return with_crc({request[0], static_cast<std::uint8_t>(function | 0x80), code});
    if (function == 15 || function == 16)
        return with_crc(Bytes(request.begin(), request.begin() + 6));
    return with_crc(request);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fz::private_mounts({});
    signal(SIGPIPE, SIG_IGN);
    int port[2], request[2], answer[2];
    FZ_CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, port) == 0);
    FZ_CHECK(pipe2(request, O_NONBLOCK) == 0 && fifo_packet_mode(request[1]) == 1);
    FZ_CHECK(pipe2(answer, O_NONBLOCK) == 0 && fifo_packet_mode(answer[1]) == 1);
    line_peer = port[1];
    request_reader = request[0];
    answer_reader = answer[0];
    answer_writer = answer[1];
    FZ_CHECK(ring_init(ring, 1) == 0);
    context.settings = &settings;
    context.ring = &ring;
    context.port_fd = port[0];
    context.tx_fifo = request[1];
    frame = frame_new(frame_capacity);
    popped = frame_new(frame_capacity);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fz::Input in{data, size};
    const std::uint8_t flags = in.byte();
    settings.cache_mode = flags & 1;
    settings.use_slave_id = flags & 2;
    settings.slave_id = in.byte() + ((flags & 4) != 0 ? 256u : 0u);
    const bool ring_full = (flags & 8) != 0;
    // The answer carries the tag of the request the turn takes (or of the
    // last one, when none is taken), or a stale one.
    const bool answer_is_current = (flags & 16) == 0;
    const Bytes request = in.bytes(in.u16() % (frame_capacity + 1));
    const Bytes answer = settings.cache_mode != 0 ? Bytes{} : in.bytes(1024);
    if (request.empty() && answer.empty())
        return -1;  // the turn would only wait out its poll

    static std::uint8_t dummy_bytes[] = {9, 6, 0, 1, 0, 2};
    const FrameBuffer dummy_frame{dummy_bytes, 6, 6};
    const Bytes dummy(dummy_bytes, dummy_bytes + 6);
    if (ring_full)
        FZ_CHECK(ring_push(ring, dummy_frame) == 1);
    const std::size_t n = request.size();
    const bool crc_ok = n >= 4 && with_crc(Bytes(request.begin(), request.end() - 2)) == request;
    // Every frame from the master is a newer request, for us or not, and
    // even one whose CRC is wrong.
    const std::uint32_t newest = context.request_seq + (request.empty() ? 0u : 1u);
    const std::uint32_t tag = answer_is_current ? newest : newest - 1u;
    if (!request.empty())
        FZ_CHECK(write(line_peer, request.data(), request.size()) == ssize_t(request.size()));
    Bytes tagged(sizeof tag);
    std::memcpy(tagged.data(), &tag, sizeof tag);
    tagged.insert(tagged.end(), answer.begin(), answer.end());
    if (!answer.empty())
        FZ_CHECK(write(answer_writer, tagged.data(), tagged.size()) == ssize_t(tagged.size()));
    const SerialContext before = context;
    context.rx_fifo = settings.cache_mode != 0 ? -1 : answer_reader;

    serial_turn(context, *frame);

    // No descriptor is given up on the way.
    FZ_CHECK(context.port_fd == before.port_fd && context.tx_fifo == before.tx_fifo);
    FZ_CHECK(context.rx_fifo == (settings.cache_mode != 0 ? -1 : answer_reader));
    const std::vector<Bytes> line = messages(line_peer);
    const std::vector<Bytes> forwarded = messages(request_reader);
    const std::vector<Bytes> left = messages(answer_reader);
    std::vector<Bytes> queued;
    while (ring_pop(ring, *popped) == 1) {
        FZ_CHECK(popped->len >= 0 && popped->len <= ring_message_size);
        queued.emplace_back(popped->data, popped->data + popped->len);
    }
    if (ring_full) {
        FZ_CHECK(!queued.empty() && queued.front() == dummy);
        queued.erase(queued.begin());
    }

    // Whatever goes on the line is one whole frame with a valid CRC.
    for (const Bytes& sent : line) {
        FZ_CHECK(sent.size() >= 3 && sent.size() <= static_cast<std::size_t>(frame_capacity));
        FZ_CHECK(with_crc(Bytes(sent.begin(), sent.end() - 2)) == sent);
    }

    FZ_CHECK(context.request_seq == newest);
    const bool for_us = crc_ok && (settings.use_slave_id == 0 || request[0] == settings.slave_id);
    const Bytes body = crc_ok ? Bytes(request.begin(), request.end() - 2) : Bytes{};
    const bool accepted = crc_ok && for_us;

    if (settings.cache_mode != 0) {
        FZ_CHECK(forwarded.empty());
        if (!accepted) {
            FZ_CHECK(line.empty() && queued.empty());
            return 0;
        }
        // Queued exactly when acknowledged, and as it came; a broadcast is
        // queued the same way but nothing answers it on the line.
        const Bytes expected = cache_mode_answer(body, ring_full);
        const bool acknowledged = (expected[1] & 0x80) == 0;
        if (body[0] == 0)
            FZ_CHECK(line.empty());
        else
            FZ_CHECK(line.size() == 1 && line[0] == expected);
        FZ_CHECK(queued.size() == (acknowledged ? 1u : 0u));
        FZ_CHECK(!acknowledged || queued[0] == body);
        return 0;
    }

    FZ_CHECK(queued.empty());
    FZ_CHECK(forwarded.size() == (accepted ? 1u : 0u));
    if (accepted) {
        // Behind the tag the answer must bring back.
        FZ_CHECK(forwarded[0].size() == sizeof newest + body.size());
        FZ_CHECK(std::memcmp(forwarded[0].data(), &newest, sizeof newest) == 0);
        FZ_CHECK(Bytes(forwarded[0].begin() + sizeof newest, forwarded[0].end()) == body);
    }
    // The answer reaches the line with its CRC, or waits in the pipe for the
    // next turn; one without room for its CRC is dropped, and so is one
    // whose request is no longer the newest.
    const Bytes read_answer(answer.begin(), answer.begin() + std::min<std::size_t>(answer.size(), frame_capacity));
    if (answer.empty())
        FZ_CHECK(line.empty() && left.empty());
    else if (!left.empty())
        FZ_CHECK(line.empty() && left.size() == 1 && left[0] == tagged);
    else if (!answer_is_current || read_answer.size() > static_cast<std::size_t>(frame_capacity - 2))
        FZ_CHECK(line.empty());
    else
        FZ_CHECK(line.size() == 1 && line[0] == with_crc(read_answer));
    return 0;
}
