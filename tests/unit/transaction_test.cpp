// One request/answer exchange over a connected stream socket, with the
// server's side played by the test.
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "modbus/convert.hpp"
#include "net/transaction.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

struct Exchange : ::testing::Test {
    void SetUp() override
    {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        ctx.sock = ends[0];
        server = ends[1];
        settings.timeout = 1000;
        ctx.settings = &settings;
        // As in the daemon: a write to a closed peer must fail, not kill.
        signal(SIGPIPE, SIG_IGN);
        frame = frame_new(frame_capacity);
    }
    void TearDown() override
    {
        if (ctx.sock >= 0)
            close(ctx.sock);
        if (server >= 0)
            close(server);
        std::free(frame->data);
        std::free(frame);
    }
    void set_request(const Bytes& request)
    {
        std::memcpy(frame->data, request.data(), request.size());
        frame->len = static_cast<std::int32_t>(request.size());
    }
    Bytes frame_bytes() const { return Bytes(frame->data, frame->data + frame->len); }
    // What the server received in one read.
    Bytes receive()
    {
        std::uint8_t buffer[600];
        const ssize_t got = read(server, buffer, sizeof buffer);
        return got > 0 ? Bytes(buffer, buffer + got) : Bytes{};
    }
    void send(const Bytes& bytes) { ASSERT_EQ(write(server, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

    GatewaySettings settings{};
    NetContext ctx{};
    int server = -1;
    FrameBuffer* frame = nullptr;
};

const Bytes read_request{0x01, 0x03, 0x00, 0x00, 0x00, 0x01};

// Runs first in its process: the counter starts at 0, so the first
// exchange carries identifier 1.
TEST_F(Exchange, FirstExchangeCarriesIdentifierOneAndUnwrapsTheAnswer)
{
    set_request(read_request);
    std::thread peer([&] {
        EXPECT_EQ(receive(), (Bytes{0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01}));
        send({0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x2A});
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_answered);
    peer.join();
    EXPECT_EQ(frame_bytes(), (Bytes{0x01, 0x03, 0x02, 0x00, 0x2A}));
}

TEST_F(Exchange, IdentifierWrapsFrom65535ToZero)
{
    // Where the counter stands, whatever ran before in this process.
    settings.timeout = 0;
    set_request(read_request);
    ASSERT_EQ(request_transaction(ctx, *frame), transaction_no_answer);
    const Bytes first = receive();
    ASSERT_GE(first.size(), 2u);
    // Identifiers are used up even without a connection: up to 65534.
    const int sock = ctx.sock;
    ctx.sock = -1;
    for (auto id = static_cast<std::uint16_t>(first[0] << 8 | first[1]); id != 65534; ++id)
        ASSERT_EQ(request_transaction(ctx, *frame), transaction_not_sent);
    ctx.sock = sock;
    std::vector<std::uint16_t> seen;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(request_transaction(ctx, *frame), transaction_no_answer);
        const Bytes sent = receive();
        ASSERT_GE(sent.size(), 2u);
        seen.push_back(static_cast<std::uint16_t>(sent[0] << 8 | sent[1]));
    }
    EXPECT_EQ(seen, (std::vector<std::uint16_t>{65535, 0, 1}));
}

TEST_F(Exchange, NoConnectionIsNotSentAndKeepsTheRequest)
{
    close(ctx.sock);
    ctx.sock = -1;
    set_request(read_request);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_not_sent);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(frame_bytes(), read_request);
}

TEST_F(Exchange, LateAnswerIsSkippedForTheRightOne)
{
    set_request(read_request);
    std::thread peer([&] {
        const Bytes sent = receive();
        ASSERT_GE(sent.size(), 2u);
        Bytes stale{0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x01};
        stale[0] = static_cast<std::uint8_t>(sent[0] ^ 0x80);
        send(stale);
        std::this_thread::sleep_for(200ms);
        send({sent[0], sent[1], 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x2A});
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_answered);
    peer.join();
    EXPECT_EQ(frame_bytes(), (Bytes{0x01, 0x03, 0x02, 0x00, 0x2A}));
}

TEST_F(Exchange, LateAndRightAnswerInOneReadAreJudgedApart)
{
    set_request(read_request);
    std::thread peer([&] {
        const Bytes sent = receive();
        ASSERT_GE(sent.size(), 2u);
        // A stale answer glued to ours by the network: one write, one read.
        Bytes both{static_cast<std::uint8_t>(sent[0] ^ 0x80), sent[1], 0x00, 0x00, 0x00, 0x03, 0x01, 0x83, 0x04};
        const Bytes ours{sent[0], sent[1], 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x2A};
        both.insert(both.end(), ours.begin(), ours.end());
        send(both);
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_answered);
    peer.join();
    EXPECT_EQ(frame_bytes(), (Bytes{0x01, 0x03, 0x02, 0x00, 0x2A}));

    // Ours first, something else behind it: the answer comes without it.
    set_request(read_request);
    std::thread second([&] {
        const Bytes sent = receive();
        ASSERT_GE(sent.size(), 2u);
        send({sent[0], sent[1], 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x07,
              0x77, 0x77, 0x00, 0x00, 0x00, 0x03, 0x01, 0x83, 0x04});
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_answered);
    second.join();
    EXPECT_EQ(frame_bytes(), (Bytes{0x01, 0x03, 0x02, 0x00, 0x07}));
}

TEST_F(Exchange, WrongAnswersCannotStretchTheTimeout)
{
    settings.timeout = 1000;
    set_request(read_request);
    std::thread peer([&] {
        const Bytes sent = receive();
        ASSERT_GE(sent.size(), 2u);
        // One wrong identifier every 300 ms, for 1.8 s.
        for (int i = 0; i < 6; ++i) {
            send({static_cast<std::uint8_t>(sent[0] ^ 0x40), sent[1], 0, 0, 0, 3, 1, 3, 0});
            std::this_thread::sleep_for(300ms);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_no_answer);
    const auto took = std::chrono::steady_clock::now() - start;
    peer.join();
    EXPECT_GE(took, 950ms);
    // Restarting the time-out on every wrong answer would end past 2.5 s.
    EXPECT_LT(took, 2200ms);
    EXPECT_EQ(frame_bytes(), read_request);
}

TEST_F(Exchange, OneByteBlockIsNoIdentifier)
{
    settings.timeout = 1000;
    set_request(read_request);
    std::thread peer([&] {
        const Bytes sent = receive();
        ASSERT_GE(sent.size(), 2u);
        // Half an identifier is never judged (position 1 of the buffer still
        // holds the low byte of the id sent): it waits for its other half.
        send({sent[0]});
        std::this_thread::sleep_for(100ms);
        send({sent[1], 0, 0, 0, 3, 1, 6, 0});
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_answered);
    peer.join();
    EXPECT_EQ(frame_bytes(), (Bytes{1, 6, 0}));
}

TEST_F(Exchange, AnswerInPiecesIsJoinedWithinTheTimeout)
{
    // Header and unit id in one send, the PDU 100 ms later, as small PLC
    // stacks write them.
    set_request(read_request);
    std::thread peer([&] {
        const Bytes sent = receive();
        ASSERT_GE(sent.size(), 2u);
        send({sent[0], sent[1], 0, 0, 0, 5, 1});
        std::this_thread::sleep_for(100ms);
        send({3, 2, 0, 0x2A});
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_answered);
    peer.join();
    EXPECT_EQ(frame_bytes(), (Bytes{1, 3, 2, 0, 0x2A}));

    // The rest never comes: no answer, and the request is kept.
    settings.timeout = 300;
    set_request(read_request);
    std::thread cut([&] {
        const Bytes sent = receive();
        ASSERT_GE(sent.size(), 2u);
        send({sent[0], sent[1], 0, 0, 0, 5, 1});
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_no_answer);
    cut.join();
    EXPECT_EQ(frame_bytes(), read_request);
}

TEST_F(Exchange, LengthFieldBeyondTheBufferIsNoAnswer)
{
    // 506 bytes after the header fill the 512-byte buffer exactly: taken.
    set_request(read_request);
    std::thread peer([&] {
        const Bytes sent = receive();
        ASSERT_GE(sent.size(), 2u);
        Bytes largest{sent[0], sent[1], 0, 0, 0x01, 0xFA};
        largest.resize(512, 0x11);
        send(Bytes(largest.begin(), largest.begin() + 300));
        std::this_thread::sleep_for(50ms);
        send(Bytes(largest.begin() + 300, largest.end()));
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_answered);
    peer.join();
    EXPECT_EQ(frame_bytes(), Bytes(506, 0x11));

    // One more claims what cannot be held: dropped, not cut, not waited for.
    set_request(read_request);
    std::thread out_of_step([&] {
        const Bytes sent = receive();
        ASSERT_GE(sent.size(), 2u);
        send({sent[0], sent[1], 0, 0, 0x01, 0xFB, 1, 3});
        std::this_thread::sleep_for(100ms);
        send({sent[0], sent[1], 0, 0, 0, 3, 1, 6, 0});
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_answered);
    out_of_step.join();
    EXPECT_EQ(frame_bytes(), (Bytes{1, 6, 0}));
}

TEST_F(Exchange, HeaderOnlyAnswerIsAnEmptyAnswer)
{
    set_request(read_request);
    std::thread peer([&] {
        const Bytes sent = receive();
        ASSERT_GE(sent.size(), 2u);
        send({sent[0], sent[1], 0, 0, 0, 0});
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_answered);
    peer.join();
    EXPECT_EQ(frame->len, 0);
}

TEST_F(Exchange, ZeroTimeoutIsAPoll)
{
    settings.timeout = 0;
    set_request(read_request);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_no_answer);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_GE(ctx.sock, 0);
}

TEST_F(Exchange, ClosedConnectionWhileWaiting)
{
    set_request(read_request);
    std::thread peer([&] {
        (void)receive();
        close(server);
        server = -1;
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_no_answer);
    peer.join();
    EXPECT_EQ(ctx.sock, -1);
    EXPECT_EQ(frame_bytes(), read_request);
}

TEST_F(Exchange, RequestTooLongForATcpMessageIsNotSent)
{
    set_request(Bytes(507, 0x01));
    const int sock = ctx.sock;
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_not_sent);
    // The connection is kept and nothing went out on it.
    EXPECT_EQ(ctx.sock, sock);
    std::uint8_t byte;
    EXPECT_EQ(recv(server, &byte, 1, MSG_DONTWAIT), -1);

    set_request(Bytes(506, 0x01));
    std::thread peer([&] {
        std::uint8_t buffer[600];
        size_t total = 0;
        Bytes head;
        while (total < 512) {
            const ssize_t got = read(server, buffer, sizeof buffer);
            if (got <= 0)
                break;
            if (head.empty())
                head.assign(buffer, buffer + 2);
            total += static_cast<size_t>(got);
        }
        EXPECT_EQ(total, 512u);
        send({head[0], head[1], 0, 0, 0, 6, 1, 0x10, 0, 1, 0, 2});
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_answered);
    peer.join();
}

TEST_F(Exchange, FailedSendClosesAndIsNotSent)
{
    close(server);
    server = -1;
    set_request(read_request);
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_not_sent);
    EXPECT_EQ(ctx.sock, -1);
    EXPECT_EQ(frame_bytes(), read_request);
}

} // namespace
