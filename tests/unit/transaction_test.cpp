// One request/answer exchange over a connected stream socket, with the
// server's side played by the test.
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
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
        ctx.timeout_ms = 1000;
        ctx.stream = frame_new(frame_capacity);
        ctx.stop_fd = -1;
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
        for (FrameBuffer* buffer : {frame, ctx.stream}) {
            std::free(buffer->data);
            std::free(buffer);
        }
    }
    // A fresh connection, as after a reconnect.
    void reconnect()
    {
        for (int fd : {ctx.sock, server})
            if (fd >= 0)
                close(fd);
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        ctx.sock = ends[0];
        server = ends[1];
        ctx.stream->len = 0;
    }
    // Whether the server got anything within a while.
    bool server_received(int ms)
    {
        pollfd wait{server, POLLIN, 0};
        return poll(&wait, 1, ms) == 1;
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
    ctx.timeout_ms = 1;
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
    ctx.timeout_ms = 300;
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

TEST_F(Exchange, MessageThatCannotBeModbusClosesTheConnection)
{
    // The longest answer there is: a length field of 254, a PDU of 253.
    set_request(read_request);
    std::thread peer([&] {
        const Bytes sent = receive();
        ASSERT_GE(sent.size(), 2u);
        Bytes largest{sent[0], sent[1], 0, 0, 0, 254};
        largest.resize(260, 0x11);
        send(Bytes(largest.begin(), largest.begin() + 100));
        std::this_thread::sleep_for(50ms);
        send(Bytes(largest.begin() + 100, largest.end()));
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_answered);
    peer.join();
    EXPECT_EQ(frame_bytes(), Bytes(254, 0x11));

    // A header no Modbus message has: the stream has lost its step, and
    // whatever follows (even our answer) cannot be trusted to be framed.
    const Bytes out_of_step[] = {
        {0, 0, 0, 0, 0, 255},  // longer than any PDU
        {0, 0, 0, 0, 0, 0},    // no unit id
        {0, 0, 0, 0, 0, 1},    // no function code
        {0, 0, 0, 1, 0, 3},    // not the Modbus protocol
    };
    for (const Bytes& header : out_of_step) {
        SCOPED_TRACE(::testing::PrintToString(header));
        ASSERT_NO_FATAL_FAILURE(reconnect());
        set_request(read_request);
        std::thread broken([&] {
            const Bytes sent = receive();
            ASSERT_GE(sent.size(), 2u);
            Bytes both{sent[0], sent[1], header[2], header[3], header[4], header[5], 1, 3, 0};
            const Bytes ours{sent[0], sent[1], 0, 0, 0, 3, 1, 6, 0};
            both.insert(both.end(), ours.begin(), ours.end());
            send(both);
        });
        EXPECT_EQ(request_transaction(ctx, *frame), transaction_no_answer);
        broken.join();
        EXPECT_EQ(ctx.sock, -1);
        EXPECT_EQ(ctx.stream->len, 0);
        EXPECT_EQ(frame_bytes(), read_request);
    }
}

TEST_F(Exchange, ZeroTimeoutSettingWaitsOneSecond)
{
    // No exchange over a network is a mere poll.
    settings.timeout = 0;
    ctx.timeout_ms = timeout_in_use(settings);
    set_request(read_request);
    std::thread peer([&] {
        const Bytes sent = receive();
        ASSERT_GE(sent.size(), 2u);
        std::this_thread::sleep_for(300ms);
        send({sent[0], sent[1], 0, 0, 0, 3, 1, 3, 0});
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_answered);
    peer.join();
}

// Between exchanges the worker drains the socket into the same stream: a
// late answer whose head the drain took leaves its tail to be framed as
// such, not as the start of the next answer.
TEST_F(Exchange, LateAnswerSplitAroundTheDrainLeavesTheNextExchangeWhole)
{
    ctx.timeout_ms = 100;
    set_request(read_request);
    std::thread late([&] { (void)receive(); });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_no_answer);
    late.join();
    send({0x12, 0x34, 0, 0, 0, 5, 1, 3});
    fd_set set;
    FD_ZERO(&set);
    FD_SET(ctx.sock, &set);
    transaction_drain(ctx, set);
    EXPECT_EQ(ctx.stream->len, 8);

    ctx.timeout_ms = 1000;
    set_request(read_request);
    std::thread peer([&] {
        const Bytes sent = receive();
        ASSERT_GE(sent.size(), 2u);
        send({2, 0, 0x2A, sent[0], sent[1], 0, 0, 0, 5, 1, 3, 2, 0, 0x07});
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_answered);
    peer.join();
    EXPECT_EQ(frame_bytes(), (Bytes{1, 3, 2, 0, 0x07}));
    EXPECT_GE(ctx.sock, 0);
}

// A write whose answer comes after the time-out has been carried out: the
// late answer to any earlier attempt answers it, inside an exchange or
// between two, and it is not sent once more.
TEST_F(Exchange, LateAnswerToAnEarlierAttemptAnswersTheRepeatedWrite)
{
    const Bytes write{0x01, 0x06, 0x00, 0x10, 0x00, 0x2A};
    ctx.timeout_ms = 100;
    set_request(write);
    Bytes first;
    std::thread one([&] { first = receive(); });
    EXPECT_EQ(request_transaction(ctx, *frame, delivery_repeat), transaction_no_answer);
    one.join();
    ASSERT_GE(first.size(), 2u);

    // Inside the next attempt.
    std::thread two([&] {
        (void)receive();
        send({first[0], first[1], 0, 0, 0, 6, 1, 6, 0, 0x10, 0, 0x2A});
    });
    EXPECT_EQ(request_transaction(ctx, *frame, delivery_repeat), transaction_answered);
    two.join();
    EXPECT_EQ(frame_bytes(), write);

    // Between attempts: the next one is answered without being sent.
    set_request(write);
    std::thread three([&] { first = receive(); });
    EXPECT_EQ(request_transaction(ctx, *frame, delivery_repeat), transaction_no_answer);
    three.join();
    send({first[0], first[1], 0, 0, 0, 3, 1, 0x86, 2});
    fd_set set;
    FD_ZERO(&set);
    FD_SET(ctx.sock, &set);
    transaction_drain(ctx, set);
    EXPECT_EQ(request_transaction(ctx, *frame, delivery_repeat), transaction_answered);
    EXPECT_EQ(frame_bytes(), (Bytes{1, 0x86, 2}));
    EXPECT_FALSE(server_received(100));

    // A request of its own never takes an answer meant for another.
    set_request(write);
    std::thread four([&] { first = receive(); });
    EXPECT_EQ(request_transaction(ctx, *frame, delivery_repeat), transaction_no_answer);
    four.join();
    set_request(read_request);
    std::thread five([&] {
        (void)receive();
        send({first[0], first[1], 0, 0, 0, 6, 1, 6, 0, 0x10, 0, 0x2A});
    });
    EXPECT_EQ(request_transaction(ctx, *frame), transaction_no_answer);
    five.join();
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
