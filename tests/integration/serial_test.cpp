// The serial side over a real pty in a private world: framing of requests
// into the request pipe and of answers from the response pipe, bad
// checksums, the slave filter, hang-ups, full pipes and oversized frames
// (the daemon's serial side alone, run in a forked child, so that the test
// holds the network ends of the pipes); cache mode's own answers; the lock
// file, the board's port-kind query and RTS keying (the real binary, with
// the board stand-in); and the TCP link's connection attempts.
#include "world.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "core/gateway_settings.hpp"
#include "core/log.hpp"
#include "daemon/lookup.hpp"
#include "net/link.hpp"
#include "serial/worker.hpp"
#include "store/fifo.hpp"
#include "store/ring.hpp"

using namespace kt;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char* request_pipe = "/var/run/korvane/serial_tcp.fifo";
constexpr const char* response_pipe = "/var/run/korvane/tcp_serial.fifo";
constexpr const char* closed_port = "1502";  // nothing listens in a private network
constexpr const char* record_file = "/run/standin.log";

constexpr int log_err = 27;
constexpr int log_warning = 28;
constexpr int log_notice = 29;

// ---------------------------------------------------------------------------
// Frames

Bytes read_holding(uint8_t unit, uint16_t address, uint16_t count = 1)
{
    return {unit, 0x03, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
            static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
}

Bytes write_register(uint8_t unit, uint16_t address, uint16_t value)
{
    return {unit, 0x06, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

// A write multiple registers request of `total` bytes (CRC not counted).
Bytes write_registers_of_length(size_t total)
{
    Bytes frame{0x01, 0x10, 0x00, 0x01};
    const size_t data = total - 7;
    const uint16_t quantity = static_cast<uint16_t>(data / 2);
    frame.push_back(static_cast<uint8_t>(quantity >> 8));
    frame.push_back(static_cast<uint8_t>(quantity));
    frame.push_back(static_cast<uint8_t>(data));
    for (size_t i = 0; i < data; ++i)
        frame.push_back(static_cast<uint8_t>(i * 7 + 3));
    return frame;
}

std::string dump(const Bytes& bytes)
{
    std::string text = hex(bytes);
    return bytes.empty() ? text : text + " ";
}

// A master must leave the line silent for the frame gap between two
// requests: the silence is what separates them.
// The margin covers a worker that is slow to be scheduled on a loaded
// machine, which would otherwise see two requests as one.
void line_silence(uint32_t split_ms)
{
    std::this_thread::sleep_for(Millis(3 * split_ms + 100));
}

// ---------------------------------------------------------------------------
// The daemon's serial side alone, in a forked child of the world.

struct Line {
    std::string device = "ttyUSB0";
    uint32_t split = 20;
    uint32_t cache_mode = 0;
    uint32_t use_slave_id = 0;
    uint32_t slave_id = 0;
};

pid_t start_serial_side(World& world, const Line& line)
{
    return world.fork_inside([line]() -> int {
        log_open("korvane", LOG_PID | LOG_NDELAY, LOG_DAEMON);
        // They live as long as the child, as in the daemon.
        static GatewaySettings settings{};
        static MessageRing ring{};
        static SerialContext context{};
        settings.enabled = 1;
        settings.device = strdup(line.device.c_str());
        settings.baudrate = 19200;
        settings.databits = 8;
        settings.parity = "E";
        settings.stopbits = 1;
        settings.split = line.split;
        settings.addr = "";
        settings.port = 0;
        settings.timeout = 1000;
        settings.cache_mode = line.cache_mode;
        settings.use_slave_id = line.use_slave_id;
        settings.slave_id = line.slave_id;
        if (line.cache_mode == 0 && fifos_create() != 0)
            return 10;
        if (ring_init(ring, ring_slots) != 0)
            return 11;
        if (serial_init(settings, ring, context) != 0)
            return 12;
        for (;;)
            pause();
    });
}

// Bytes queued in a pipe (all messages together).
int queued(int fd)
{
    int bytes = -1;
    return ioctl(fd, FIONREAD, &bytes) == 0 ? bytes : -1;
}

// One message from a packet-mode pipe.
std::optional<Bytes> read_message(int fd, Millis deadline)
{
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(deadline.count())) != 1)
        return std::nullopt;
    uint8_t block[4096];
    const ssize_t got = read(fd, block, sizeof block);
    if (got <= 0)
        return std::nullopt;
    return Bytes(block, block + got);
}

// The serial side in a forked child against the test's pty and the test's
// ends of the pipes.
class SerialSide : public ::testing::Test {
protected:
    void SetUp() override
    {
        KT_REQUIRE_ROOT();
        world.emplace();
        master = world->open_pty("ttyUSB0");
        ASSERT_GE(master, 0);
    }

    void TearDown() override
    {
        for (int fd : {master, requests, responses})
            if (fd >= 0)
                close(fd);
    }

    void start(const Line& line = Line{})
    {
        split = line.split;
        child = start_serial_side(*world, line);
        ASSERT_GT(child, 0);
        // Ready once the worker thread runs: the port is open by then.
        ASSERT_TRUE(wait_until([&] { return thread_count(child) == 2; }, 5000ms))
            << "serial side did not start; exit " << world->wait_exit(child, 10ms).value_or(-99);
        ASSERT_TRUE(world->holds_open(child, "/dev/" + line.device));
        if (line.cache_mode != 0)
            return;
        // The network side's ends, opened as the forwarding worker opens
        // them; its writing end in packet mode.
        requests = open(world->path(request_pipe).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(requests, 0) << std::strerror(errno);
        responses = open(world->path(response_pipe).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(responses, 0) << std::strerror(errno);
        ASSERT_EQ(fcntl(responses, F_SETFL, fcntl(responses, F_GETFL) | O_DIRECT), 0);
    }

    void send_request(const Bytes& bytes)
    {
        write_bytes(master, bytes);
        line_silence(split);
    }

    // An answer as the forwarding worker writes it: behind the tag of the
    // request it answers (by default the last one read).
    void answer(const Bytes& bytes) { answer_tagged(last_tag, bytes); }
    void answer_tagged(uint32_t tag, const Bytes& bytes)
    {
        Bytes message(sizeof tag);
        std::memcpy(message.data(), &tag, sizeof tag);
        message.insert(message.end(), bytes.begin(), bytes.end());
        ASSERT_EQ(write(responses, message.data(), message.size()), static_cast<ssize_t>(message.size()))
            << std::strerror(errno);
    }

    // The next request without the tag in front of it, which is kept.
    std::optional<Bytes> next_request(Millis deadline = 3000ms)
    {
        auto message = read_message(requests, deadline);
        if (!message || message->size() < sizeof last_tag)
            return std::nullopt;
        std::memcpy(&last_tag, message->data(), sizeof last_tag);
        return Bytes(message->begin() + sizeof last_tag, message->end());
    }

    // Nothing more waits in the request pipe.
    void expect_no_request() { EXPECT_EQ(queued(requests), 0); }

    std::optional<World> world;
    int master = -1;
    int requests = -1;
    int responses = -1;
    pid_t child = -1;
    uint32_t split = 20;
    uint32_t last_tag = 0;
};

// Each request in the pipe carries a 4-byte tag in front.
constexpr int tagged = 4;

} // namespace

// ---------------------------------------------------------------------------
// Direct mode: requests into the request pipe, answers back to the line

TEST_F(SerialSide, RequestReachesRequestPipeWithoutItsCrc)
{
    ASSERT_NO_FATAL_FAILURE(start());
    write_bytes(master, with_crc(read_holding(1, 0)));
    const auto message = next_request();
    ASSERT_TRUE(message) << "nothing in the request pipe";
    EXPECT_EQ(hex(*message), "01 03 00 00 00 01");
    EXPECT_EQ(world->count_log("korvane"), 0u);
}

TEST_F(SerialSide, AnswerFromResponsePipeLeavesWithFreshCrc)
{
    ASSERT_NO_FATAL_FAILURE(start());
    answer({0x01, 0x03, 0x02, 0x00, 0x2A});
    EXPECT_EQ(hex(read_bytes(master, 7, 3000ms)), hex(with_crc({0x01, 0x03, 0x02, 0x00, 0x2A})));
    EXPECT_TRUE(read_until_quiet(master, 200ms, 300ms).empty());
}

TEST_F(SerialSide, TwoQuickRequestsArriveAsTwoMessages)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const Bytes first = read_holding(1, 0x0010, 2);
    const Bytes second = write_register(1, 0x0010, 0x002A);
    send_request(with_crc(first));
    // The first is not answered yet when the second comes.
    ASSERT_TRUE(wait_until([&] { return queued(requests) == tagged + 6; }, 3000ms));
    send_request(with_crc(second));
    ASSERT_TRUE(wait_until([&] { return queued(requests) == 2 * (tagged + 6); }, 3000ms)) << queued(requests);
    EXPECT_EQ(hex(next_request().value_or(Bytes{})), hex(first));
    EXPECT_EQ(hex(next_request().value_or(Bytes{})), hex(second));
    expect_no_request();
}

TEST_F(SerialSide, AnswersLeaveInTheOrderOfTheResponsePipe)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const Bytes first{0x01, 0x03, 0x04, 0x00, 0x01, 0x00, 0x02};
    const Bytes second{0x01, 0x06, 0x00, 0x10, 0x00, 0x2A};
    answer(first);
    answer(second);
    Bytes expected = with_crc(first);
    const Bytes tail = with_crc(second);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(hex(read_bytes(master, expected.size(), 3000ms)), hex(expected));
}

TEST_F(SerialSide, BadCrcIsLoggedWithTheBytesLeftAndDropped)
{
    ASSERT_NO_FATAL_FAILURE(start());
    struct Case {
        Bytes sent;
        std::string logged;
    };
    Bytes good_then_broken = with_crc(read_holding(1, 0));
    good_then_broken.back() ^= 0x01;
    const Case cases[] = {
        // Fewer than 4 bytes: all of them.
        {{0x01, 0x03, 0x00}, "01 03 00 "},
        // Four bytes with a wrong checksum: the first two.
        {{0x01, 0x03, 0x12, 0x34}, "01 03 "},
        // A whole request with one bit of its checksum flipped: without it.
        {good_then_broken, "01 03 00 00 00 01 "},
        {{0x07}, "07 "},
    };
    size_t seen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(hex(c.sent));
        send_request(c.sent);
        const auto line = world->wait_log_from(seen, "Received bad CRC");
        ASSERT_TRUE(line);
        EXPECT_EQ(line->priority, log_err);
        EXPECT_EQ(line->message, "Received bad CRC, data: " + c.logged);
        seen = world->log_count();
    }
    // None of them was forwarded: the next good request is the first message.
    send_request(with_crc(read_holding(1, 0x0100)));
    EXPECT_EQ(hex(next_request().value_or(Bytes{})), hex(read_holding(1, 0x0100)));
    expect_no_request();
}

TEST_F(SerialSide, SlaveFilterDropsOtherUnitsSilently)
{
    Line line;
    line.use_slave_id = 1;
    line.slave_id = 17;
    ASSERT_NO_FATAL_FAILURE(start(line));
    send_request(with_crc(read_holding(1, 0)));
    send_request(with_crc(read_holding(0, 0)));
    send_request(with_crc(read_holding(18, 0)));
    send_request(with_crc(read_holding(17, 0)));
    EXPECT_EQ(hex(next_request().value_or(Bytes{})), hex(read_holding(17, 0)));
    expect_no_request();
    EXPECT_EQ(world->count_log("korvane"), 0u) << "the filter is silent";
}

TEST_F(SerialSide, SlaveFilterOnAnIdAboveAByteServesNobody)
{
    Line line;
    line.use_slave_id = 1;
    line.slave_id = 300;  // 300 mod 256 is 44
    ASSERT_NO_FATAL_FAILURE(start(line));
    send_request(with_crc(read_holding(44, 0)));
    send_request(with_crc(read_holding(1, 0)));
    ASSERT_FALSE(next_request(300ms)) << "a request passed";
    EXPECT_EQ(world->count_log("korvane"), 0u);
}

TEST_F(SerialSide, WithoutFilterEveryUnitIsForwarded)
{
    ASSERT_NO_FATAL_FAILURE(start());
    for (uint8_t unit : {uint8_t{0}, uint8_t{1}, uint8_t{247}, uint8_t{255}}) {
        send_request(with_crc(read_holding(unit, 0)));
        EXPECT_EQ(hex(next_request().value_or(Bytes{})), hex(read_holding(unit, 0)));
    }
}

// ---------------------------------------------------------------------------
// Hang-ups

TEST_F(SerialSide, ClosedLineIsReopenedAndServesTheNextRequest)
{
    ASSERT_NO_FATAL_FAILURE(start());
    send_request(with_crc(read_holding(1, 1)));
    ASSERT_EQ(hex(next_request().value_or(Bytes{})), hex(read_holding(1, 1)));

    // The master goes away: the port reads as hung up, is closed, and the
    // worker tries to open it again every second.
    close(master);
    master = -1;
    const auto reopen = world->wait_log("open(/dev/ttyUSB0) error: No such file or directory");
    ASSERT_TRUE(reopen) << "no attempt to reopen the port";
    EXPECT_EQ(reopen->priority, log_err);
    EXPECT_TRUE(world->wait_log("openning port /dev/ttyUSB0 failed"));
    EXPECT_FALSE(world->holds_open(child, "/dev/ttyUSB0"));

    // A line comes back under the same name.
    master = world->open_pty("ttyUSB0");
    ASSERT_TRUE(world->wait_holds_open(child, "/dev/ttyUSB0", 5000ms));
    send_request(with_crc(read_holding(1, 2)));
    EXPECT_EQ(hex(next_request().value_or(Bytes{})), hex(read_holding(1, 2)));
    answer({0x01, 0x03, 0x02, 0x12, 0x34});
    EXPECT_EQ(hex(read_bytes(master, 7, 3000ms)), hex(with_crc({0x01, 0x03, 0x02, 0x12, 0x34})));
    EXPECT_EQ(world->count_log("close error"), 0u);
}

TEST_F(SerialSide, AnswersThatWaitedWhileThePortWasClosedAreDropped)
{
    ASSERT_NO_FATAL_FAILURE(start());
    send_request(with_crc(write_register(1, 0x10, 0x2A)));
    ASSERT_TRUE(next_request());
    close(master);
    master = -1;
    ASSERT_TRUE(world->wait_log("openning port /dev/ttyUSB0 failed"));
    answer({0x01, 0x06, 0x00, 0x10, 0x00, 0x2A});
    master = world->open_pty("ttyUSB0");
    // Its master is gone; the one on the line now asked nothing yet.
    ASSERT_TRUE(world->wait_log("stale answer was dropped"));
    EXPECT_TRUE(read_until_quiet(master, 200ms, 300ms).empty());
}

// The master pairs answers with requests by time alone: an answer that
// comes once the master moved on, to any slave, would be taken as the
// newer request's answer.
TEST_F(SerialSide, AnswerToARequestTheMasterGaveUpOnNeverReachesTheLine)
{
    Line line;
    line.use_slave_id = 1;
    line.slave_id = 1;
    ASSERT_NO_FATAL_FAILURE(start(line));
    send_request(with_crc(read_holding(1, 0)));
    ASSERT_TRUE(next_request());
    const uint32_t given_up = last_tag;
    send_request(with_crc(read_holding(1, 1)));
    ASSERT_TRUE(next_request());
    answer_tagged(given_up, {0x01, 0x03, 0x02, 0x00, 0x01});
    const auto dropped = world->wait_log("stale answer was dropped");
    ASSERT_TRUE(dropped);
    EXPECT_EQ(dropped->priority, log_notice);
    answer({0x01, 0x03, 0x02, 0x00, 0x02});
    EXPECT_EQ(hex(read_bytes(master, 7, 3000ms)), hex(with_crc({0x01, 0x03, 0x02, 0x00, 0x02})));

    // A request for another slave is the master moving on too.
    send_request(with_crc(read_holding(1, 2)));
    ASSERT_TRUE(next_request());
    send_request(with_crc(read_holding(2, 2)));
    answer({0x01, 0x03, 0x02, 0x00, 0x03});
    ASSERT_TRUE(world->wait_log_count("stale answer was dropped", 2));
    EXPECT_TRUE(read_until_quiet(master, 200ms, 300ms).empty());
}

// ---------------------------------------------------------------------------
// Full pipes and oversized frames

TEST_F(SerialSide, FullRequestPipeDropsOneRequestAndKeepsThePipe)
{
    ASSERT_NO_FATAL_FAILURE(start());
    // Each message takes one of the pipe's 16 slots.
    for (uint16_t i = 1; i <= 16; ++i) {
        send_request(with_crc(write_register(1, i, i)));
        ASSERT_TRUE(wait_until([&] { return queued(requests) == (tagged + 6) * i; }, 3000ms))
            << "request " << i << " not queued: " << queued(requests);
    }
    send_request(with_crc(write_register(1, 17, 17)));
    const auto full = world->wait_log("pipe is full, message was dropped");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->priority, log_err);

    for (uint16_t i = 1; i <= 16; ++i)
        EXPECT_EQ(hex(next_request().value_or(Bytes{})), hex(write_register(1, i, i)));
    expect_no_request();

    // The pipe end was kept: the next request gets through.
    send_request(with_crc(write_register(1, 18, 18)));
    EXPECT_EQ(hex(next_request().value_or(Bytes{})), hex(write_register(1, 18, 18)));
    EXPECT_EQ(world->count_log("pipe is full"), 1u);
    EXPECT_EQ(world->count_log("connection was closed"), 0u);
}

TEST_F(SerialSide, BurstOf512BytesEndsTheRequestWithoutClosingThePort)
{
    Line line;
    line.split = 200;  // the whole burst is one request however the pty hands it over
    ASSERT_NO_FATAL_FAILURE(start(line));
    const Bytes burst(512, 0x55);
    send_request(burst);
    const auto bad = world->wait_log("Received bad CRC");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->message, "Received bad CRC, data: " + dump(Bytes(510, 0x55)));

    // Longer: the first 512 bytes are one request, the rest the next one.
    Bytes longer(700, 0x66);
    const size_t seen = world->log_count();
    send_request(longer);
    ASSERT_TRUE(world->wait_log_count("Received bad CRC", 3));
    const auto logs = world->logs();
    std::vector<std::string> bad_lines;
    for (size_t i = seen; i < logs.size(); ++i)
        if (logs[i].message.rfind("Received bad CRC", 0) == 0)
            bad_lines.push_back(logs[i].message);
    ASSERT_EQ(bad_lines.size(), 2u);
    EXPECT_EQ(bad_lines[0], "Received bad CRC, data: " + dump(Bytes(510, 0x66)));
    EXPECT_EQ(bad_lines[1], "Received bad CRC, data: " + dump(Bytes(186, 0x66)));

    // Not taken for end of file: the port stayed open and serves on.
    send_request(with_crc(read_holding(1, 3)));
    EXPECT_EQ(hex(next_request().value_or(Bytes{})), hex(read_holding(1, 3)));
    EXPECT_EQ(world->count_log("close error"), 0u);
    EXPECT_EQ(world->count_log("openning port"), 0u);
    EXPECT_EQ(world->count_log("open("), 0u);
}

TEST_F(SerialSide, AnswerWithoutRoomForItsCrcIsDroppedWithALogLine)
{
    ASSERT_NO_FATAL_FAILURE(start());
    Bytes too_long(511);
    too_long[0] = 0x01;
    too_long[1] = 0x03;
    too_long[2] = 0xFF;
    answer(too_long);
    const auto dropped = world->wait_log("answer of 511 bytes");
    ASSERT_TRUE(dropped);
    EXPECT_EQ(dropped->priority, log_err);
    EXPECT_EQ(dropped->message, "answer of 511 bytes has no room for its CRC, dropped");
    EXPECT_TRUE(read_until_quiet(master, 200ms, 300ms).empty()) << "something was written";

    // 510 bytes still fit, with their CRC, the 512-byte frame.
    Bytes longest(510, 0x11);
    longest[0] = 0x01;
    longest[1] = 0x03;
    answer(longest);
    EXPECT_EQ(hex(read_bytes(master, 512, 3000ms)), hex(with_crc(longest)));
}

// ---------------------------------------------------------------------------
// Cache mode: the serial side answers the master itself

class CacheModeLine : public SerialSide {
protected:
    void start_cache_mode()
    {
        Line line;
        line.cache_mode = 1;
        line.split = 10;
        start(line);
    }

    // The answer to one request, read until the line goes quiet.
    Bytes exchange(const Bytes& request)
    {
        write_bytes(master, request);
        return read_until_quiet(master, 100ms, 3000ms);
    }

    // The first `count` bytes of the answer to one request.
    Bytes exchange(const Bytes& request, size_t count)
    {
        write_bytes(master, request);
        return read_bytes(master, count, 3000ms);
    }
};

TEST_F(CacheModeLine, WriteSingleRegisterIsEchoed)
{
    ASSERT_NO_FATAL_FAILURE(start_cache_mode());
    const Bytes request = with_crc({0x01, 0x06, 0x00, 0x10, 0x00, 0x2A});
    EXPECT_EQ(hex(exchange(request)), hex(request));
}

TEST_F(CacheModeLine, CoilAndMaskWritesAreEchoed)
{
    ASSERT_NO_FATAL_FAILURE(start_cache_mode());
    for (const Bytes& request : {with_crc({0x01, 0x05, 0x00, 0xAC, 0xFF, 0x00}),
                                 with_crc({0x01, 0x16, 0x00, 0x04, 0x00, 0xF2, 0x00, 0x25})})
        EXPECT_EQ(hex(exchange(request)), hex(request));
}

TEST_F(CacheModeLine, MultipleWritesAreAnsweredWithTheirFirstSixBytes)
{
    ASSERT_NO_FATAL_FAILURE(start_cache_mode());
    EXPECT_EQ(hex(exchange(with_crc({0x01, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A,
                                     0x01, 0x02}))),
              hex(with_crc({0x01, 0x10, 0x00, 0x01, 0x00, 0x02})));
    EXPECT_EQ(hex(exchange(with_crc({0x11, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01}))),
              hex(with_crc({0x11, 0x0F, 0x00, 0x13, 0x00, 0x0A})));
}

TEST_F(CacheModeLine, OtherFunctionsAreRefusedWithIllegalFunction)
{
    ASSERT_NO_FATAL_FAILURE(start_cache_mode());
    EXPECT_EQ(hex(exchange(with_crc(read_holding(1, 0)))), hex(with_crc({0x01, 0x83, 0x01})));
    const auto notice = world->wait_log("Received unsupported modbus function");
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->priority, log_notice);
    EXPECT_EQ(notice->message, "Received unsupported modbus function");
    EXPECT_EQ(hex(exchange(with_crc({0x11, 0x2B, 0x0E, 0x01, 0x00}))),
              hex(with_crc({0x11, 0xAB, 0x01})));
    EXPECT_TRUE(world->wait_log_count("Received unsupported modbus function", 2));
}

TEST_F(CacheModeLine, ShortWriteIsRefusedWithIllegalDataValue)
{
    ASSERT_NO_FATAL_FAILURE(start_cache_mode());
    EXPECT_EQ(hex(exchange(with_crc({0x01, 0x06, 0x00, 0x10}))), hex(with_crc({0x01, 0x86, 0x03})));
    EXPECT_EQ(hex(exchange(with_crc({0x01, 0x10, 0x00, 0x01, 0x00}))),
              hex(with_crc({0x01, 0x90, 0x03})));
}

TEST_F(CacheModeLine, WriteTooLongForOneTcpMessageIsRefusedWithDeviceFailure)
{
    ASSERT_NO_FATAL_FAILURE(start_cache_mode());
    // 506 bytes still fit a 512-byte TCP message; 507 do not.
    EXPECT_EQ(hex(exchange(with_crc(write_registers_of_length(506)))),
              hex(with_crc({0x01, 0x10, 0x00, 0x01, 0x00, 0xF9})));
    EXPECT_EQ(hex(exchange(with_crc(write_registers_of_length(507)))),
              hex(with_crc({0x01, 0x90, 0x04})));
}

TEST_F(CacheModeLine, FullRingIsAnsweredWithDeviceFailure)
{
    ASSERT_NO_FATAL_FAILURE(start_cache_mode());
    // Nothing pops the ring here: its 100 slots fill up.
    for (uint16_t i = 0; i < 100; ++i) {
        const Bytes request = with_crc(write_register(1, i, i));
        ASSERT_EQ(hex(exchange(request, request.size())), hex(request)) << "request " << i;
    }
    EXPECT_EQ(world->count_log("ring buffer is full"), 0u);
    EXPECT_EQ(hex(exchange(with_crc(write_register(1, 100, 100)))), hex(with_crc({0x01, 0x86, 0x04})));
    const auto full = world->wait_log("ring buffer is full, message were discarded");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->priority, log_notice);
    EXPECT_EQ(hex(exchange(with_crc({0x01, 0x10, 0x00, 0x01, 0x00, 0x01, 0x02, 0x00, 0x07}))),
              hex(with_crc({0x01, 0x90, 0x04})));
    EXPECT_TRUE(world->wait_log_count("ring buffer is full, message were discarded", 2));
    // Refusals of other functions do not touch the ring.
    EXPECT_EQ(hex(exchange(with_crc(read_holding(1, 0)))), hex(with_crc({0x01, 0x83, 0x01})));
}

TEST_F(CacheModeLine, BroadcastsAreQueuedButNeverAnswered)
{
    ASSERT_NO_FATAL_FAILURE(start_cache_mode());
    const auto silent = [&](const Bytes& request) {
        write_bytes(master, with_crc(request));
        return read_until_quiet(master, 50ms, 300ms).empty();
    };
    // Refused or not, a request to unit 0 leaves the line silent.
    Bytes too_long = write_registers_of_length(507);
    too_long[0] = 0;
    EXPECT_TRUE(silent(read_holding(0, 0)));
    EXPECT_TRUE(silent({0x00, 0x06, 0x00, 0x10}));
    EXPECT_TRUE(silent(too_long));
    // A broadcast write takes the last of the 100 slots, as any write does,
    // and the one that finds the ring full is dropped silently too.
    for (uint16_t i = 0; i < 99; ++i) {
        const Bytes request = with_crc(write_register(1, i, i));
        ASSERT_EQ(hex(exchange(request, request.size())), hex(request)) << "request " << i;
    }
    EXPECT_TRUE(silent(write_register(0, 99, 99)));
    EXPECT_TRUE(silent(write_register(0, 100, 100)));
    EXPECT_TRUE(world->wait_log("ring buffer is full, message were discarded"));
    EXPECT_EQ(hex(exchange(with_crc(write_register(1, 101, 101)))), hex(with_crc({0x01, 0x86, 0x04})));
}

// ---------------------------------------------------------------------------
// The lock file (the real binary)

namespace {

std::vector<std::pair<std::string, std::string>> line_settings(const std::string& device)
{
    return {{"MOD_KORVANE_DEVICE", device},    {"MOD_KORVANE_BAUDRATE", "19200"},
            {"MOD_KORVANE_PARITY", "E"},       {"MOD_KORVANE_SPLIT", "20"},
            {"MOD_KORVANE_ADDR", "127.0.0.1"}, {"MOD_KORVANE_PORT", closed_port},
            {"MOD_KORVANE_TIMEOUT", "300"},    {"MOD_KORVANE_CACHE_MODE", "0"}};
}

// The pid of a process that has certainly ended (reaped at once).
pid_t ended_pid()
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

} // namespace

TEST(SerialLock, HoldsTheDaemonsPidInElevenBytes)
{
    KT_REQUIRE_ROOT();
    World world;
    const int master = world.open_pty("ttyUSB0");
    world.write_settings(line_settings("ttyUSB0"));
    const mode_t saved = umask(022);
    const pid_t pid = world.start_daemon();
    umask(saved);
    ASSERT_TRUE(world.wait_holds_open(pid, "/dev/ttyUSB0"));
    const auto text = world.read_file("/var/lock/LCK..ttyUSB0");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), 11u);
    EXPECT_EQ(*text, lock_text(pid));
    struct stat status;
    ASSERT_EQ(stat(world.path("/var/lock/LCK..ttyUSB0").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    close(master);
}

TEST(SerialLock, StaleLockIsReplaced)
{
    KT_REQUIRE_ROOT();
    const std::string dead = std::to_string(ended_pid());
    for (const std::string& stale :
         {lock_text(ended_pid()), dead + "\n", std::string("0\n"), std::string("-5\n"),
          std::string("garbage\n"), std::string(""), std::string("2147483647\n")}) {
        SCOPED_TRACE("lock held \"" + stale + "\"");
        World world;
        const int master = world.open_pty("ttyUSB0");
        world.write_settings(line_settings("ttyUSB0"));
        world.write_file("/var/lock/LCK..ttyUSB0", stale);
        const pid_t pid = world.start_daemon();
        EXPECT_TRUE(world.wait_holds_open(pid, "/dev/ttyUSB0"));
        EXPECT_EQ(world.read_file("/var/lock/LCK..ttyUSB0"), lock_text(pid));
        EXPECT_EQ(world.count_log("is locked"), 0u);
        close(master);
    }
}

TEST(SerialLock, LockOfALiveProcessStopsTheStartAfterOneToTwoSeconds)
{
    KT_REQUIRE_ROOT();
    World world;
    const int master = world.open_pty("ttyUSB0");
    world.write_settings(line_settings("ttyUSB0"));
    // The test process itself is the live owner.
    const std::string held = lock_text(getpid());
    world.write_file("/var/lock/LCK..ttyUSB0", held);
    const auto begin = std::chrono::steady_clock::now();
    world.start_daemon();
    const auto status = world.wait_daemon_exit(6000ms);
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    ASSERT_EQ(status, 1);
    EXPECT_GE(elapsed, 1000ms);
    EXPECT_LE(elapsed, 3000ms);
    const auto locked = world.wait_log("device /dev/ttyUSB0 is locked");
    ASSERT_TRUE(locked);
    EXPECT_EQ(locked->priority, log_err);
    EXPECT_EQ(locked->message, "device /dev/ttyUSB0 is locked");
    const auto init = world.wait_log("init serial has failed, exiting...");
    ASSERT_TRUE(init);
    EXPECT_EQ(init->priority, log_err);
    EXPECT_EQ(world.read_file("/var/lock/LCK..ttyUSB0"), held);
    close(master);
}

TEST(SerialLock, LockNamingTheDaemonsOwnPidIsTakenOver)
{
    KT_REQUIRE_ROOT();
    World world;
    const int master = world.open_pty("ttyUSB0");
    world.write_settings(line_settings("ttyUSB0"));
    // Written between fork and exec, when the pid is already the daemon's;
    // unpadded, so that the daemon's own text is told apart.
    const pid_t pid = world.start_daemon_prepared([&](pid_t daemon) {
        world.write_file("/var/lock/LCK..ttyUSB0", std::to_string(daemon) + "\n");
    });
    EXPECT_TRUE(world.wait_holds_open(pid, "/dev/ttyUSB0"));
    EXPECT_EQ(world.read_file("/var/lock/LCK..ttyUSB0"), lock_text(pid));
    // All three threads: the serial side was set up, so the lock was taken.
    EXPECT_TRUE(wait_until([&] { return thread_count(pid) == 3; }, 5000ms));
    EXPECT_EQ(world.count_log("is locked"), 0u);
    close(master);
}

// ---------------------------------------------------------------------------
// The board: port-kind query and RTS keying (the real binary with the
// board stand-in)

namespace {

class Board : public ::testing::Test {
protected:
    void SetUp() override
    {
        KT_REQUIRE_ROOT();
        KT_REQUIRE_STANDIN();
        world.emplace();
    }

    void TearDown() override
    {
        if (master >= 0)
            close(master);
    }

    pid_t start(const std::string& device, const std::vector<std::string>& env)
    {
        master = world->open_pty(device);
        world->write_settings(line_settings(device));
        std::vector<std::string> all = env;
        all.push_back(std::string("KORVANE_STANDIN_RECORD=") + record_file);
        return world->start_daemon({}, all, true);
    }

    std::string record() { return world->read_file(record_file).value_or(""); }

    // Waits until the record ends with `tail`.
    bool record_ends_with(const std::string& tail, Millis deadline = 3000ms)
    {
        return wait_until(
            [&] {
                const std::string text = record();
                return text.size() >= tail.size() &&
                       text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
            },
            deadline);
    }

    // A request the network side answers, without a server, with
    // exception 10 (5 bytes with the CRC).
    void exchange()
    {
        write_bytes(master, with_crc(read_holding(1, 0)));
        EXPECT_EQ(hex(read_bytes(master, 5, 5000ms)), hex(with_crc({0x01, 0x83, 0x0A})));
    }

    std::optional<World> world;
    int master = -1;
};

} // namespace

// Seconds of the day in a log line's time stamp ("<27>Dec  8 00:07:36 ...").
int stamp_seconds(const LogLine& line)
{
    const size_t at = line.raw.find('>') + 8;
    int h = 0, m = 0, sec = 0;
    std::sscanf(line.raw.c_str() + at, "%d:%d:%d", &h, &m, &sec);
    return h * 3600 + m * 60 + sec;
}

TEST_F(Board, WallClockSetBackDoesNotStopConnectionAttempts)
{
    world->write_file("/run/clock", "0\n");
    start("ttyUSB0", {"KORVANE_STANDIN_CLOCK=/run/clock"});
    const auto before = world->wait_log("connect socket error: Connection refused");
    ASSERT_TRUE(before);

    // An NTP correction of a clock that ran an hour ahead.
    const size_t mark = world->log_count();
    world->write_file("/run/clock", "-3600\n");
    const auto after = world->wait_log_from(mark, "connect socket error", 8000ms);
    ASSERT_TRUE(after) << "no attempt since the clock was set back";
    // The daemon saw the step: its time stamps went back an hour.
    EXPECT_NEAR((stamp_seconds(*before) - stamp_seconds(*after) + 86400) % 86400, 3600, 15);
}

TEST_F(Board, FirstPortOfKind3KeysEveryAnswerWithRts)
{
    const pid_t pid = start("ttyS0", {"KORVANE_STANDIN_KIND_FIRST=3", "KORVANE_STANDIN_KIND_OTHER=2"});
    ASSERT_TRUE(wait_until([&] { return thread_count(pid) == 3; }, 5000ms));
    // Asked once with the first port's request; RTS released at the open.
    EXPECT_EQ(record(), "gpio-open\n"
                        "gpio-query 0x80004209\n"
                        "tty-open /dev/ttyS0\n"
                        "rts-drop\n");
    const std::string keyed = "rts-raise\nwrite 5\nlsr-empty\nrts-drop\n";
    exchange();
    EXPECT_TRUE(record_ends_with(keyed)) << record();
    exchange();
    EXPECT_TRUE(record_ends_with(keyed + keyed)) << record();
    EXPECT_EQ(world->count_log("ioctl error"), 0u);
}

TEST_F(Board, RtsDropsOnlyOnceTheTransmitterIsEmpty)
{
    const pid_t pid = start("ttyS0", {"KORVANE_STANDIN_KIND_FIRST=3", "KORVANE_STANDIN_LSR_BUSY=3"});
    ASSERT_TRUE(wait_until([&] { return thread_count(pid) == 3; }, 5000ms));
    exchange();
    EXPECT_TRUE(record_ends_with("rts-raise\nwrite 5\nlsr-busy\nlsr-busy\nlsr-busy\nlsr-empty\n"
                                 "rts-drop\n"))
        << record();
}

TEST_F(Board, TransmitterThatNeverEmptiesDoesNotHoldTheLine)
{
    // A UART stuck busy: RTS is dropped after the frame's time plus a margin,
    // and the next answer is keyed and sent like the first.
    const pid_t pid = start("ttyS0", {"KORVANE_STANDIN_KIND_FIRST=3", "KORVANE_STANDIN_LSR_BUSY=2000000000"});
    ASSERT_TRUE(wait_until([&] { return thread_count(pid) == 3; }, 5000ms));
    exchange();
    ASSERT_TRUE(world->wait_log("transmitter did not empty in time"));
    EXPECT_TRUE(record_ends_with("lsr-busy\nrts-drop\n")) << record().size();
    exchange();
    EXPECT_TRUE(world->wait_log_count("transmitter did not empty in time", 2));
}

TEST_F(Board, OtherPortsAreAskedWithTheSecondRequest)
{
    for (const char* kind : {"2", "11"}) {
        SCOPED_TRACE(std::string("kind ") + kind);
        world.emplace();
        if (master >= 0)
            close(master);
        const pid_t pid = start("ttyS1", {std::string("KORVANE_STANDIN_KIND_OTHER=") + kind,
                                          "KORVANE_STANDIN_KIND_FIRST=3"});
        ASSERT_TRUE(wait_until([&] { return thread_count(pid) == 3; }, 5000ms));
        EXPECT_EQ(record(), "gpio-open\n"
                            "gpio-query 0x8000420B\n"
                            "tty-open /dev/ttyS1\n");
        // Plain transmission: no RTS around the answer.
        exchange();
        EXPECT_TRUE(record_ends_with("tty-open /dev/ttyS1\nwrite 5\n")) << record();
    }
}

TEST_F(Board, AnyNameContainingTtySIsAsked)
{
    const pid_t pid = start("myttyS0", {"KORVANE_STANDIN_KIND_OTHER=2"});
    ASSERT_TRUE(wait_until([&] { return thread_count(pid) == 3; }, 5000ms));
    EXPECT_EQ(record(), "gpio-open\n"
                        "gpio-query 0x8000420B\n");
}

TEST_F(Board, UnusableKindsStopTheStart)
{
    for (const char* kind : {"15", "0", "1", "4", "255", "-1"}) {
        SCOPED_TRACE(std::string("kind ") + kind);
        world.emplace();
        if (master >= 0)
            close(master);
        start("ttyS0", {std::string("KORVANE_STANDIN_KIND_FIRST=") + kind});
        EXPECT_EQ(world->wait_daemon_exit(5000ms), 1);
        const auto missing = world->wait_log("missing serial port");
        ASSERT_TRUE(missing);
        EXPECT_EQ(missing->priority, log_err);
        EXPECT_TRUE(world->wait_log("init serial has failed, exiting..."));
        EXPECT_EQ(record(), "gpio-open\ngpio-query 0x80004209\n");
        EXPECT_FALSE(world->exists("/var/lock/LCK..ttyS0"));
    }
}

TEST_F(Board, WithoutGpioDeviceThePortIsMissing)
{
    start("ttyS0", {});
    EXPECT_EQ(world->wait_daemon_exit(5000ms), 1);
    EXPECT_TRUE(world->wait_log("missing serial port"));
    EXPECT_TRUE(world->wait_log("init serial has failed, exiting..."));
    EXPECT_EQ(record(), "gpio-absent\n");
}

TEST_F(Board, UsbAdapterIsNeitherAskedNorKeyed)
{
    const pid_t pid = start("ttyUSB0", {"KORVANE_STANDIN_KIND_FIRST=3", "KORVANE_STANDIN_KIND_OTHER=3"});
    ASSERT_TRUE(wait_until([&] { return thread_count(pid) == 3; }, 5000ms));
    EXPECT_EQ(record(), "tty-open /dev/ttyUSB0\n");
    exchange();
    EXPECT_TRUE(record_ends_with("tty-open /dev/ttyUSB0\nwrite 5\n")) << record();
}

TEST_F(Board, RtsThatCannotBeReleasedKeepsThePortClosed)
{
    start("ttyS0", {"KORVANE_STANDIN_KIND_FIRST=3", "KORVANE_STANDIN_RTS_ERROR=EIO"});
    const auto failed = world->wait_log("ioctl error (");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->message, std::string("ioctl error (") + std::strerror(EIO) + ")");
    EXPECT_EQ(failed->priority, log_err);
    // Start-up goes on and the worker tries again every second.
    EXPECT_TRUE(world->wait_log_count("ioctl error (", 3, 5000ms));
    EXPECT_FALSE(world->wait_daemon_exit(10ms));
}

TEST_F(Board, HangUpReportedAsAReadErrorClosesAndReopensThePort)
{
    // The stand-in turns the hung-up port's empty read into EIO.
    const pid_t pid = start("ttyUSB0", {"KORVANE_STANDIN_HANGUP_ERROR=EIO"});
    ASSERT_TRUE(wait_until([&] { return thread_count(pid) == 3; }, 5000ms));
    exchange();

    close(master);
    master = -1;
    ASSERT_TRUE(world->wait_log("open(/dev/ttyUSB0) error: No such file or directory"))
        << "the port was not closed and reopened";
    EXPECT_TRUE(record_ends_with("write 5\nread-hangup EIO\ntty-close\n")) << record();

    master = world->open_pty("ttyUSB0");
    ASSERT_TRUE(world->wait_holds_open(pid, "/dev/ttyUSB0", 5000ms));
    exchange();
    EXPECT_TRUE(record_ends_with("read-hangup EIO\ntty-close\ntty-open /dev/ttyUSB0\nwrite 5\n"))
        << record();
    EXPECT_EQ(world->count_log("close error"), 0u);
}

// ---------------------------------------------------------------------------
// The TCP link: connection attempts from a forked child of the world

namespace {

// A pipe from a forked child to the test: the child writes text lines.
struct Report {
    int from_child = -1;
    int to_parent = -1;

    Report()
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == 0) {
            from_child = ends[0];
            to_parent = ends[1];
            // The child keeps this end (fork_inside closes close-on-exec ones).
            fcntl(to_parent, F_SETFD, 0);
        }
    }
    ~Report()
    {
        if (from_child >= 0)
            close(from_child);
        if (to_parent >= 0)
            close(to_parent);
    }
    void parent_side()
    {
        close(to_parent);
        to_parent = -1;
    }
    std::string read_all(Millis deadline)
    {
        std::string text;
        const auto end = std::chrono::steady_clock::now() + deadline;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<Millis>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd wait{from_child, POLLIN, 0};
            if (poll(&wait, 1, static_cast<int>(left.count())) != 1)
                break;
            char block[512];
            const ssize_t got = read(from_child, block, sizeof block);
            if (got <= 0)
                break;
            text.append(block, static_cast<size_t>(got));
        }
        return text;
    }
};

// One line of three numbers to the test.
void report_numbers(int fd, long long a, long long b, long long c)
{
    char text[128];
    const int length = std::snprintf(text, sizeof text, "%lld %lld %lld\n", a, b, c);
    (void)!write(fd, text, static_cast<size_t>(length));
}

// The world's own names: plc.test on the loopback, and a name server on
// the loopback where nothing answers, so that no query leaves the machine.
void own_names(World& world)
{
    world.override_file("/etc/hosts", "127.0.0.1 localhost\n127.0.0.1 plc.test\n");
    world.override_file("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
}

// The clock the reconnect pacing counts on, in milliseconds.
long long monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// One connection attempt in the world (timeout setting 0), made as the
// worker makes it: link_reconnect every 10 ms while the main thread's lookup
// runs, until the attempt has ended. The child reports "<ms before the
// first call> <ms after the last> <next_attempt> <sock>", monotonic.
pid_t reconnect_once(World& world, Report& report, const std::string& addr, uint32_t port)
{
    const int out = report.to_parent;
    return world.fork_inside([=]() -> int {
        log_open("korvane", LOG_PID | LOG_NDELAY, LOG_DAEMON);
        static GatewaySettings settings{};
        settings.addr = strdup(addr.c_str());
        settings.port = port;
        settings.device = "";
        settings.parity = "";
        static NetContext ctx{};
        ctx.settings = &settings;
        ctx.sock = -1;
        ctx.tx_fifo = -1;
        ctx.rx_fifo = -1;
        ctx.timeout_ms = timeout_in_use(settings);
        ctx.lookup.wake_fd = eventfd(0, EFD_CLOEXEC);
        ctx.lookup.done_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ctx.stop_fd = -1;
        // The main thread's part.
        std::thread([] {
            for (pollfd waits[lookup_wait_slots];;) {
                int timeout_ms = -1;
                const int count = lookup_waits(ctx, waits, timeout_ms);
                poll(waits, static_cast<nfds_t>(count), timeout_ms);
                lookup_serve(ctx, waits, count);
            }
        }).detach();
        std::time_t next_attempt = 0;
        const long long before = monotonic_ms();
        while (next_attempt == 0 && monotonic_ms() < before + 15000) {
            link_reconnect(ctx, next_attempt);
            if (next_attempt == 0)
                usleep(10000);
        }
        const long long after = monotonic_ms();
        char text[128];
        const int length = std::snprintf(text, sizeof text, "%lld %lld %lld %d\n", before, after,
                                         static_cast<long long>(next_attempt), ctx.sock);
        (void)!write(out, text, static_cast<size_t>(length));
        close(out);
        return 0;
    });
}

struct Attempt {
    long long before = 0, after = 0, next = 0;
    int sock = -2;
};

Attempt parse_attempt(const std::string& text)
{
    Attempt attempt;
    std::sscanf(text.c_str(), "%lld %lld %lld %d", &attempt.before, &attempt.after, &attempt.next,
                &attempt.sock);
    return attempt;
}

// One link_reconnect call in a child of the world, as the child reported it.
Attempt attempt_once(World& world, const std::string& addr, uint32_t port, Millis deadline = 10000ms)
{
    Report report;
    const pid_t child = reconnect_once(world, report, addr, port);
    report.parent_side();
    const Attempt attempt = parse_attempt(report.read_all(deadline));
    EXPECT_EQ(world.wait_exit(child, 5000ms), 0);
    return attempt;
}

} // namespace

TEST(Link, ConnectsToAHostNameOfTheWorldsHostsFile)
{
    KT_REQUIRE_ROOT();
    World world;
    own_names(world);
    const int listener = world.listen_tcp(0);
    ASSERT_GE(listener, 0);
    const Attempt attempt = attempt_once(world, "plc.test", local_port(listener));
    EXPECT_GE(attempt.sock, 0);
    EXPECT_GE(attempt.next, attempt.before / 1000 + 5);
    EXPECT_LE(attempt.next, attempt.after / 1000 + 5);
    const auto connected = world.wait_log("Succesfully connected to");
    ASSERT_TRUE(connected);
    EXPECT_EQ(connected->priority, log_notice);
    EXPECT_EQ(connected->message, "Succesfully connected to plc.test");
    pollfd wait{listener, POLLIN, 0};
    EXPECT_EQ(poll(&wait, 1, 3000), 1) << "no connection reached the listener";
    close(listener);
}

TEST(Link, HostNameThatDoesNotResolveIsAWarningAndAnAttempt)
{
    KT_REQUIRE_ROOT();
    World world;
    own_names(world);
    const Attempt attempt = attempt_once(world, "nohost.test", 502, 15000ms);
    EXPECT_EQ(attempt.sock, -1);
    // A failed resolution counts as an attempt.
    EXPECT_GE(attempt.next, attempt.before / 1000 + 5);
    EXPECT_LE(attempt.next, attempt.after / 1000 + 5);
    const auto warning = world.wait_log("error resolving hostname");
    ASSERT_TRUE(warning);
    EXPECT_EQ(warning->priority, log_warning);
    EXPECT_EQ(warning->message, "error resolving hostname nohost.test");
    EXPECT_EQ(world.count_log("connect socket error"), 0u);
}

TEST(Link, AttemptsArePacedByMoreThanFiveSeconds)
{
    KT_REQUIRE_ROOT();
    World world;
    // A port that is free now and listened on after the first attempt.
    const int probe = world.listen_tcp(0);
    ASSERT_GE(probe, 0);
    const uint16_t port = local_port(probe);
    close(probe);

    Report report;
    const int out = report.to_parent;
    const pid_t child = world.fork_inside([=]() -> int {
        log_open("korvane", LOG_PID | LOG_NDELAY, LOG_DAEMON);
        static GatewaySettings settings{};
        settings.addr = "127.0.0.1";
        settings.port = port;
        settings.device = "";
        settings.parity = "";
        static NetContext ctx{};
        ctx.settings = &settings;
        ctx.sock = -1;
        ctx.stop_fd = -1;
        std::time_t next_attempt = 0;
        // The worker's turns, every 20 ms, while there is no connection.
        const long long give_up = monotonic_ms() + 12000;
        int attempts = 0;
        while (ctx.sock < 0 && attempts < 3 && monotonic_ms() < give_up) {
            const long long before = monotonic_ms() / 1000;
            const std::time_t previous = next_attempt;
            link_reconnect(ctx, next_attempt);
            if (next_attempt != previous) {
                ++attempts;
                report_numbers(out, before, next_attempt, ctx.sock);
            }
            usleep(20000);
        }
        close(out);
        return 0;
    });
    report.parent_side();

    // The first attempt is refused; then the server comes up.
    const auto refused = world.wait_log("connect socket error: Connection refused");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->priority, log_err);
    const int listener = world.listen_tcp(port);
    ASSERT_GE(listener, 0);

    const auto connected = world.wait_log("Succesfully connected to 127.0.0.1", 10000ms);
    ASSERT_TRUE(connected);
    const std::string text = report.read_all(5000ms);
    EXPECT_EQ(world.wait_exit(child, 5000ms), 0);

    long long first_at = 0, first_next = 0, first_sock = 0;
    long long second_at = 0, second_next = 0, second_sock = 0;
    ASSERT_EQ(std::sscanf(text.c_str(), "%lld %lld %lld\n%lld %lld %lld", &first_at, &first_next,
                          &first_sock, &second_at, &second_next, &second_sock),
              6)
        << text;
    EXPECT_EQ(first_sock, -1);
    EXPECT_EQ(first_next, first_at + 5);
    // Nothing in the five seconds after; the next in the first turn of the
    // sixth (allowing a late turn on a loaded machine).
    EXPECT_GE(second_at, first_at + 6);
    EXPECT_LE(second_at, first_at + 7);
    EXPECT_GE(second_sock, 0);
    EXPECT_EQ(second_next, second_at + 5);
    EXPECT_EQ(world.count_log("connect socket error"), 1u);
    close(listener);
}

TEST(Link, ConnectToAHostThatDropsItsSynsGivesUpAfterOneSecondWithTimeout0)
{
    KT_REQUIRE_ROOT();
    World world;
    const int listener = world.listen_tcp(0, true);
    ASSERT_GE(listener, 0);
    const Attempt attempt = attempt_once(world, "127.0.0.1", local_port(listener));
    EXPECT_EQ(attempt.sock, -1);
    // Neither a mere poll, which no handshake off the loopback passes, nor
    // the system's own 127 s.
    EXPECT_GE(attempt.after - attempt.before, 950);
    EXPECT_LT(attempt.after - attempt.before, 3000);
    const auto failed = world.wait_log("connect socket error");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->message, "connect socket error: Connection timed out");
    close(listener);
}
