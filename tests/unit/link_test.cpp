// The descriptor routines both workers share, on pipes and sockets.
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/counters.hpp"
#include "net/link.hpp"
#include "store/fifo.hpp"

namespace {

struct Frames : ::testing::Test {
    void SetUp() override { frame = frame_new(frame_capacity); }
    void TearDown() override
    {
        std::free(frame->data);
        std::free(frame);
    }
    void fill(std::int32_t len, std::uint8_t value)
    {
        std::memset(frame->data, value, static_cast<size_t>(len));
        frame->len = len;
    }
    FrameBuffer* frame = nullptr;
};

fd_set set_of(int fd)
{
    fd_set set;
    FD_ZERO(&set);
    fdset_add(fd, set);
    return set;
}

TEST_F(Frames, ReadIfReadyOnlyReadsMarkedOpenDescriptors)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "abc", 3), 3);

    int closed = -1;
    fd_set set;
    FD_ZERO(&set);
    fdset_add(-1, set);  // ignored
    frame->len = 9;
    EXPECT_EQ(read_if_ready(closed, set_of(ends[0]), *frame), 0);
    int reader = ends[0];
    EXPECT_EQ(read_if_ready(reader, set, *frame), 0);  // not marked
    EXPECT_EQ(frame->len, 9);

    EXPECT_EQ(read_if_ready(reader, set_of(reader), *frame), 1);
    EXPECT_EQ(frame->len, 3);
    EXPECT_EQ(reader, ends[0]);

    // End of stream closes the descriptor and forgets it.
    close(ends[1]);
    EXPECT_EQ(read_if_ready(reader, set_of(reader), *frame), 0);
    EXPECT_EQ(reader, -1);
    EXPECT_EQ(fcntl(ends[0], F_GETFD), -1);
}

TEST_F(Frames, WriteAllOrCloseOnSockets)
{
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    int writer = ends[0];

    frame->len = 0;
    EXPECT_EQ(write_all_or_close(writer, *frame), 1);
    int none = -1;
    fill(10, 0x42);
    EXPECT_EQ(write_all_or_close(none, *frame), 0);
    EXPECT_EQ(write_all_or_close(writer, *frame), 1);
    std::uint8_t buffer[16];
    EXPECT_EQ(read(ends[1], buffer, sizeof buffer), 10);

    // A peer that went away: the write fails (no SIGPIPE for a test either),
    // the socket is closed and forgotten.
    signal(SIGPIPE, SIG_IGN);
    close(ends[1]);
    EXPECT_EQ(write_all_or_close(writer, *frame), 0);
    EXPECT_EQ(writer, -1);
    // Really closed, not only forgotten.
    EXPECT_EQ(fcntl(ends[0], F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(Frames, PacketPipeKeepsMessagesApartAndSurvivesBeingFull)
{
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
    int writer = ends[1];
    int reader = ends[0];
    ASSERT_EQ(fifo_packet_mode(writer), 1);

    // Each message takes a page of the 64 KiB pipe: 16 fit.
    int accepted = 0;
    for (int i = 0; i < 20; ++i) {
        fill(8, static_cast<std::uint8_t>(i));
        accepted += write_all_or_close(writer, *frame);
    }
    EXPECT_EQ(accepted, 16);
    EXPECT_EQ(writer, ends[1]);  // still open: full is not broken

    for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(read_if_ready(reader, set_of(reader), *frame), 1);
        EXPECT_EQ(frame->len, 8);
        EXPECT_EQ(frame->data[0], i);
    }
    fill(8, 0x77);
    EXPECT_EQ(write_all_or_close(writer, *frame), 1);
    ASSERT_EQ(read_if_ready(reader, set_of(reader), *frame), 1);
    EXPECT_EQ(frame->data[0], 0x77);
    close(ends[0]);
    close(ends[1]);
}

TEST(Timeval, EveryMillisecondCountIsThatManyMilliseconds)
{
    struct Case {
        std::uint32_t ms;
        long sec;
        long usec;
    } cases[] = {
        {0, 0, 0}, {10, 0, 10000}, {999, 0, 999000}, {1000, 1, 0}, {2500, 2, 500000},
        {2147484, 2147, 484000}, {4294967295u, 4294967, 295000},
    };
    for (const auto& c : cases) {
        const timeval tv = timeval_from_ms(c.ms);
        EXPECT_EQ(static_cast<long>(tv.tv_sec), c.sec) << c.ms;
        EXPECT_EQ(static_cast<long>(tv.tv_usec), c.usec) << c.ms;
        EXPECT_LT(tv.tv_usec, 1000000);
    }
}

// The time-out in use: 0 is one second, at most a minute. Every connection
// made and not up now was lost, also one a new connection replaced before
// the counters were next published. The mean round trip is exact.
TEST(Counters, TimeoutLossesAndTheMeanRoundTrip)
{
    GatewaySettings settings{};
    for (const auto& [set, used] : {std::pair{0u, 1000u}, {200u, 200u}, {90000u, 60000u}}) {
        settings.timeout = set;
        EXPECT_EQ(timeout_in_use(settings), used) << set;
    }
    NetContext ctx{};
    for (int sock : {3, 3, -1}) {
        ctx.sock = sock;
        count(counters.server_connects, sock >= 0 ? 1 : 0);
        link_publish(ctx);
    }
    EXPECT_EQ(counters.server_lost.load(), 2u);
    EXPECT_EQ(counters.server_connected.load(), 0u);
    std::uint64_t sum = 0;
    for (std::uint32_t i = 1; i <= 3000; ++i) {
        sum += i % 3 == 0 ? 3001 : 1000 + i % 7;
        count_round_trip(i % 3 == 0 ? 3001 : 1000 + i % 7);
    }
    EXPECT_EQ(counters.server_rtt_mean_us.load(), sum / 3000);
}

// A request is one small segment: it must never wait for the server to
// acknowledge the one before (Nagle), and a vanished server must be found.
TEST(Connection, IsMadeWithoutSendDelayAndWithKeepAlive)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int fd = tcp_connect(INADDR_LOOPBACK, ntohs(address.sin_port), 1000, -1);
    ASSERT_GE(fd, 0);
    int on = 0;
    length = sizeof on;
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &length), 0);
    EXPECT_NE(on, 0);
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &length), 0);
    EXPECT_NE(on, 0);
    close(fd);
    close(listener);
}

} // namespace
