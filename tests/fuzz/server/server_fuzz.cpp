// Server bytes: one exchange whose answer comes from the fuzzer, split into
// reads at the fuzzer's points (each write of a SOCK_SEQPACKET pair is one
// read). An answer is delivered only with the request's identifier and never
// longer than the buffer.
//
// Input: flags (bit 0: the server shuts its side after the pieces), 4 bytes
// of stamps (2 bits for each of the stream's first 16 messages, as their
// MBAP lengths lay them out: 0 as sent, 1 the request's identifier, 2 the
// one before it, 3 the one after), then up to 8 pieces: a length (2 bytes,
// taken as 1 to 512) and the bytes.
#include <cerrno>
#include <csignal>
#include <sys/socket.h>

#include "modbus/convert.hpp"
#include "net/transaction.hpp"
#include "tests/fuzz/fuzz_support.hpp"

namespace {

using fz::Bytes;

GatewaySettings settings{};
NetContext ctx{};
FrameBuffer* frame;
int server = -1;
// The identifier the next exchange must use: the process's first is 1.
std::uint16_t next_id = 1;

void connect_pair()
{
    int ends[2];
    FZ_CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) == 0);
    ctx.sock = ends[0];
    server = ends[1];
    // A new connection starts a new stream, as link_reconnect has it.
    if (ctx.stream != nullptr)
        ctx.stream->len = 0;
}

std::vector<Bytes> messages(int fd)
{
    std::vector<Bytes> out;
    std::uint8_t buffer[1024];
    for (;;) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0)
            out.emplace_back(buffer, buffer + got);
        // A peer that closed with bytes unread resets the pair once; what
        // it sent before is still there to read.
        else if (got < 0 && errno == ECONNRESET)
            continue;
        else
            return out;
    }
}

// Whether a header along the stream's messages, as their length fields lay
// them out, has a protocol id other than 0 or a length outside 2..254.
bool out_of_step(const Bytes& stream)
{
    for (std::size_t offset = 0; offset + tcp_header_size <= stream.size();) {
        const int protocol = stream[offset + 2] << 8 | stream[offset + 3];
        const int length = stream[offset + 4] << 8 | stream[offset + 5];
        if (protocol != 0 || length < 2 || length > 254)
            return true;
        offset += tcp_header_size + static_cast<std::size_t>(length);
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fz::private_mounts({});
    signal(SIGPIPE, SIG_IGN);
    // A poll: the pieces are all waiting before the exchange starts.
    ctx.settings = &settings;
    ctx.timeout_ms = 0;
    ctx.stream = frame_new(frame_capacity);
    ctx.stop_fd = -1;
    frame = frame_new(frame_capacity);
    connect_pair();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fz::Input in{data, size};
    const bool shut = (in.byte() & 1) != 0;
    const std::uint32_t stamps = in.u32();
    Bytes stream;
    std::vector<std::size_t> cuts;
    // The kernel queues ten messages on a socket of this kind; the exchange
    // would not read many more within a time-out anyway.
    while (!in.done() && cuts.size() < 8) {
        const Bytes piece = in.bytes(in.u16() % frame_capacity + 1u);
        if (piece.empty())
            break;  // an empty message would read as the end of the stream
        stream.insert(stream.end(), piece.begin(), piece.end());
        cuts.push_back(stream.size());
    }
    const std::uint16_t id = next_id++;
    for (std::size_t offset = 0, i = 0; i < 16 && offset + 2 <= stream.size(); ++i) {
        if (const std::uint32_t kind = stamps >> (2 * i) & 3; kind != 0) {
            const auto stamp = static_cast<std::uint16_t>(id + (kind == 1 ? 0 : kind == 2 ? -1 : 1));
            stream[offset] = static_cast<std::uint8_t>(stamp >> 8);
            stream[offset + 1] = static_cast<std::uint8_t>(stamp);
        }
        if (offset + tcp_header_size > stream.size())
            break;
        offset += tcp_header_size + (stream[offset + 4] << 8 | stream[offset + 5]);
    }
    for (std::size_t i = 0, from = 0; i < cuts.size(); from = cuts[i++])
        FZ_CHECK(write(server, stream.data() + from, cuts[i] - from) == ssize_t(cuts[i] - from));
    if (shut)
        FZ_CHECK(shutdown(server, SHUT_WR) == 0);

    const Bytes request{1, 3, 0, 0, 0, 1};
    std::memcpy(frame->data, request.data(), request.size());
    frame->len = 6;
    const int result = request_transaction(ctx, *frame);

    // The request went out once, under the next identifier.
    const std::vector<Bytes> sent = messages(server);
    FZ_CHECK(sent.size() == 1);
    FZ_CHECK(sent[0] == (Bytes{static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0, 0, 0, 6,
                               1, 3, 0, 0, 0, 1}));
    FZ_CHECK(result == transaction_answered || result == transaction_no_answer);
    // The connection is given up only at the server's end of stream, or
    // where the stream holds a header no Modbus message has.
    FZ_CHECK(ctx.sock >= 0 || shut || out_of_step(stream));
    if (result != transaction_answered) {
        FZ_CHECK(Bytes(frame->data, frame->data + frame->len) == request);
    } else {
        FZ_CHECK(frame->len >= 0 && frame->len <= frame->size);
        const auto len = static_cast<std::size_t>(frame->len);
        // Somewhere in what the server sent, a message under our identifier
        // carries exactly these bytes (none, when it ends inside its header).
        bool found = false;
        for (std::size_t p = 0; !found && p + 2 <= stream.size(); ++p) {
            const std::size_t end = p + tcp_header_size + len;
            found = (stream[p] << 8 | stream[p + 1]) == id &&
                    (len == 0 || (end <= stream.size() &&
                                  std::memcmp(stream.data() + end - len, frame->data, len) == 0));
            // Never cut: as long as its MBAP length field says.
            found = found && end <= stream.size() &&
                    (stream[p + 4] << 8 | stream[p + 5]) == static_cast<int>(len);
        }
        FZ_CHECK(found);
    }

    if (shut || ctx.sock < 0) {
        if (ctx.sock >= 0)
            close(ctx.sock);
        close(server);
        connect_pair();
    } else {
        (void)messages(ctx.sock);  // what the worker's drain throws away
        ctx.stream->len = 0;
    }
    return 0;
}
