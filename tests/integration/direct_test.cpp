// Direct mode end to end: the real daemon in a private world, a real Modbus
// TCP server (tests/peers/modbus_server) on the world's loopback, and on the
// serial side either the test itself speaking RTU on a pty master or real
// libmodbus masters (rtu_master, mbpoll) on a socat pty pair.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "world.hpp"

using namespace kt;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const std::string server_log = "/run/server.requests";
const std::string server_control = "/run/server.control";

// Register a of the server's bank starts at 7a + 42.
constexpr uint16_t initial_value(unsigned address) { return static_cast<uint16_t>(7 * address + 42); }

Bytes read_holding(uint8_t unit, uint16_t address, uint16_t count)
{
    return with_crc({unit, 0x03, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                     static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
}

Bytes holding_answer(uint8_t unit, const std::vector<uint16_t>& values)
{
    Bytes frame{unit, 0x03, static_cast<uint8_t>(2 * values.size())};
    for (uint16_t value : values) {
        frame.push_back(static_cast<uint8_t>(value >> 8));
        frame.push_back(static_cast<uint8_t>(value));
    }
    return with_crc(frame);
}

long elapsed_ms(Clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<Millis>(Clock::now() - since).count());
}

// Reads a descriptor until end of file or the deadline.
std::string read_to_end(int fd, Millis deadline)
{
    std::string text;
    const auto end = Clock::now() + deadline;
    for (;;) {
        const auto left = std::chrono::duration_cast<Millis>(end - Clock::now()).count();
        if (left <= 0)
            return text;
        pollfd waiter{fd, POLLIN, 0};
        if (poll(&waiter, 1, static_cast<int>(left)) <= 0)
            continue;
        char block[4096];
        const ssize_t got = read(fd, block, sizeof block);
        if (got <= 0)
            return text;
        text.append(block, static_cast<size_t>(got));
    }
}

// Reads one line (without its newline) or gives up at the deadline.
std::optional<std::string> read_line(int fd, std::string& pending, Millis deadline)
{
    const auto end = Clock::now() + deadline;
    for (;;) {
        if (const auto newline = pending.find('\n'); newline != std::string::npos) {
            std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<Millis>(end - Clock::now()).count();
        if (left <= 0)
            return std::nullopt;
        pollfd waiter{fd, POLLIN, 0};
        if (poll(&waiter, 1, static_cast<int>(left)) <= 0)
            continue;
        char block[512];
        const ssize_t got = read(fd, block, sizeof block);
        if (got <= 0)
            return std::nullopt;
        pending.append(block, static_cast<size_t>(got));
    }
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

long vm_rss_kb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

struct PeerRun {
    std::optional<int> status;
    std::string out;
};

class DirectMode : public ::testing::Test {
protected:
    void SetUp() override
    {
        KT_REQUIRE_ROOT();
        world.emplace();
    }

    // The server on the world's loopback; port 0 lets the kernel choose the
    // first time, later starts reuse that port (a server that comes back).
    void start_server(const std::string& mode = "normal")
    {
        std::vector<std::string> argv{peers_directory() + "/modbus_server", "--listen",
                                      server_host + ":" + std::to_string(port), "--log", server_log,
                                      "--control", server_control, "--mode", mode};
        if (far > 0) {
            // Behind a link that goes down, its old client vanishes unseen.
            argv.insert(argv.begin(), {"nsenter", "--net=" + net_of(far)});
            argv.insert(argv.end(), {"--takeover", "1"});
        }
        int out = -1;
        server = world->spawn(argv, {}, &out);
        ASSERT_GT(server, 0);
        if (port == 0) {
            std::string pending;
            const auto printed = read_line(out, pending, 5000ms);
            ASSERT_TRUE(printed.has_value()) << "modbus_server printed no port";
            port = static_cast<uint16_t>(std::stoi(*printed));
        } else {
            // Started when it accepts: the daemon's reconnect is what is timed.
            ASSERT_TRUE(wait_until([&] { return listening(); }, 5000ms));
        }
        close(out);
    }

    bool listening()
    {
        // The keeper lives in the world's network namespace.
        std::ifstream file("/proc/" + std::to_string(far > 0 ? far : world->keeper_pid()) + "/net/tcp");
        const std::string table((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        char wanted[32];
        std::snprintf(wanted, sizeof wanted, ":%04X 00000000:0000 0A", port);
        return table.find(wanted) != std::string::npos;
    }

    // Bytes of requests the serial side has handed over that the network
    // side has not taken yet (it is busy with an exchange).
    int requests_queued()
    {
        const int fd = open(world->path("/run/korvane/serial_tcp.fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        int queued = -1;
        if (fd >= 0 && ioctl(fd, FIONREAD, &queued) != 0)
            queued = -1;
        if (fd >= 0)
            close(fd);
        return queued;
    }

    static std::string net_of(pid_t pid) { return "/proc/" + std::to_string(pid) + "/ns/net"; }

    // A second network namespace joined to the world's by a veth pair, for
    // the server: taking its end of the pair down makes it vanish without a
    // word, as a server host that loses power or its cable does.
    void make_far_network()
    {
        far = world->spawn({"unshare", "--net", "sleep", "3600"});
        ASSERT_GT(far, 0);
        const auto ns = [](const std::string& path) {
            char target[64] = {};
            return readlink(path.c_str(), target, sizeof target - 1) > 0 ? std::string(target) : std::string();
        };
        ASSERT_TRUE(wait_until([&] {
            const std::string own = ns(net_of(far));
            return !own.empty() && own != ns(net_of(world->keeper_pid())) && own != ns("/proc/self/ns/net");
        }, 5000ms));
        const std::string in_far = "nsenter --net=" + net_of(far) + " ";
        const pid_t setup = world->spawn(
            {"/bin/sh", "-c",
             "ip link add kv0 type veth peer name kv1 netns " + std::to_string(far) +
                 " && ip addr add 192.0.2.1/24 dev kv0 && ip link set kv0 up && " + in_far +
                 "ip addr add 192.0.2.2/24 dev kv1 && " + in_far + "ip link set kv1 up"});
        ASSERT_EQ(world->wait_exit(setup, 10000ms), 0);
        server_host = "192.0.2.2";
    }

    void far_link(bool up)
    {
        const pid_t ip = world->spawn({"nsenter", "--net=" + net_of(far), "ip", "link", "set", "kv1", up ? "up" : "down"});
        ASSERT_EQ(world->wait_exit(ip, 5000ms), 0);
    }

    // Asks until the server answers again, at once after each exception 10
    // or as soon as the daemon has reconnected. The time that took, or -1
    // when it took more than 8 s.
    long answered_again_ms()
    {
        const size_t mark = world->log_count();
        const auto back = Clock::now();
        while (elapsed_ms(back) < 8000) {
            write_bytes(line, read_holding(1, 0, 1));
            const Bytes answer = read_until_quiet(line, 50ms, 2000ms);
            if (answer == holding_answer(1, {42}))
                return elapsed_ms(back);
            EXPECT_EQ(hex(answer), hex(with_crc({0x01, 0x83, 0x0A}))) << "only exception 10 while reconnecting";
            (void)world->wait_log_from(mark, "Succesfully connected", 250ms);
        }
        return -1;
    }

    void set_server_mode(const std::string& mode) { world->write_file(server_control, mode + "\n"); }

    std::vector<std::string> server_requests() { return lines_of(world->read_file(server_log).value_or("")); }

    bool server_got(size_t count) { return server_requests().size() >= count; }

    void write_settings(unsigned split, unsigned timeout_ms)
    {
        world->write_settings({{"MOD_KORVANE_ENABLED", "1"},
                               {"MOD_KORVANE_DEVICE", "ttyUSB0"},
                               {"MOD_KORVANE_BAUDRATE", "19200"},
                               {"MOD_KORVANE_DATABITS", "8"},
                               {"MOD_KORVANE_PARITY", "N"},
                               {"MOD_KORVANE_STOPBITS", "1"},
                               {"MOD_KORVANE_SPLIT", std::to_string(split)},
                               {"MOD_KORVANE_ADDR", server_host},
                               {"MOD_KORVANE_PORT", std::to_string(port == 0 ? 1502 : port)},
                               {"MOD_KORVANE_TIMEOUT", std::to_string(timeout_ms)},
                               {"MOD_KORVANE_CACHE_MODE", "0"}});
        world->write_settings_text(secure + world->read_file("/opt/korvane/etc/settings").value_or(""));
    }

    // The daemon with the test as the serial master on a pty master.
    void start_with_line(unsigned split, unsigned timeout_ms, bool expect_connection = true)
    {
        line = world->open_pty("ttyUSB0");
        ASSERT_GE(line, 0);
        write_settings(split, timeout_ms);
        world->start_daemon();
        if (expect_connection) {
            ASSERT_TRUE(world->wait_log("Succesfully connected to " + server_host, 5000ms));
        }
    }

    // The daemon on one end of a socat pty pair, library masters on the other.
    void start_with_socat(unsigned split, unsigned timeout_ms)
    {
        const pid_t socat = world->spawn(
            {"socat", "pty,raw,echo=0,link=/dev/ttyUSB0", "pty,raw,echo=0,link=/dev/ttyPEER"});
        ASSERT_GT(socat, 0);
        // socat's links are absolute (/dev/pts/N), which only resolve inside
        // the world: look at the links themselves.
        const auto linked = [&](const char* name) {
            struct stat status;
            return lstat(world->path(name).c_str(), &status) == 0;
        };
        ASSERT_TRUE(wait_until([&] { return linked("/dev/ttyUSB0") && linked("/dev/ttyPEER"); }, 5000ms));
        write_settings(split, timeout_ms);
        world->start_daemon();
        ASSERT_TRUE(world->wait_log("Succesfully connected to " + server_host, 5000ms));
    }

    PeerRun run_peer(std::vector<std::string> argv, Millis deadline = 10000ms)
    {
        int out = -1;
        const pid_t pid = world->spawn(argv, {}, &out);
        PeerRun run;
        if (pid <= 0)
            return run;
        run.out = read_to_end(out, deadline);
        close(out);
        run.status = world->wait_exit(pid, 2000ms);
        if (!run.status)
            world->end(pid);
        return run;
    }

    PeerRun rtu_master(std::vector<std::string> command)
    {
        std::vector<std::string> argv{peers_directory() + "/rtu_master", "--device", "/dev/ttyPEER",
                                      "--timeout", "3000"};
        argv.insert(argv.end(), command.begin(), command.end());
        return run_peer(argv);
    }

    // One request on the line; the answer as the master reads it.
    Bytes exchange(const Bytes& request, size_t answer_size, Millis deadline = 5000ms)
    {
        write_bytes(line, request);
        return read_bytes(line, answer_size, deadline);
    }

    void TearDown() override
    {
        if (line >= 0)
            close(line);
    }

    std::optional<World> world;
    uint16_t port = 0;
    pid_t server = -1;
    int line = -1;
    std::string server_host = "127.0.0.1";
    pid_t far = -1;  // holds the server's own network namespace, if any
    std::string secure;  // settings lines of the secure link, put first
    pid_t front = -1;    // socat's TLS server
};

// --- Requests and answers with real masters --------------------------------

TEST_F(DirectMode, FirstExchangeIsWrappedWithTransactionOneAndUnwrappedForTheLine)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 1000));

    EXPECT_EQ(hex(exchange(read_holding(1, 0, 1), 7)), hex(holding_answer(1, {42})));
    const auto requests = server_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "00 01 00 00 00 06 01 03 00 00 00 01");

    // Every exchange takes the next transaction id; the unit id travels as is.
    EXPECT_EQ(hex(exchange(read_holding(17, 2, 2), 9)),
              hex(holding_answer(17, {initial_value(2), initial_value(3)})));
    ASSERT_EQ(server_requests().size(), 2u);
    EXPECT_EQ(server_requests()[1], "00 02 00 00 00 06 11 03 00 02 00 02");
}

TEST_F(DirectMode, LibmodbusMasterAndMbpollReadAndWriteRegisters)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    ASSERT_NO_FATAL_FAILURE(start_with_socat(2, 1000));

    auto run = rtu_master({"read", "0", "4"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "ok 42 49 56 63\n");

    run = rtu_master({"write", "5", "1234"});
    EXPECT_EQ(run.status, 0) << run.out;
    run = rtu_master({"write-multiple", "10", "7", "8", "65535"});
    EXPECT_EQ(run.status, 0) << run.out;
    run = rtu_master({"read", "5", "8"});
    EXPECT_EQ(run.out, "ok 1234 84 91 98 105 7 8 65535\n");

    // mbpoll, a master written independently of libmodbus's test tools,
    // sees what the other master wrote and writes its own.
    const std::vector<std::string> mbpoll{"mbpoll", "-m", "rtu", "-a", "1", "-b", "19200", "-P", "none", "-0", "-1"};
    auto argv = mbpoll;
    argv.insert(argv.end(), {"-r", "5", "-c", "2", "/dev/ttyPEER"});
    run = run_peer(argv);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("[5]: \t1234"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("[6]: \t84"), std::string::npos) << run.out;

    argv = mbpoll;
    argv.insert(argv.end(), {"-r", "20", "/dev/ttyPEER", "4321"});
    run = run_peer(argv);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Written 1 references."), std::string::npos) << run.out;
    run = rtu_master({"read", "20", "1"});
    EXPECT_EQ(run.out, "ok 4321\n");

    // Seven exchanges, seven messages on the server, ids 1 to 7.
    const auto requests = server_requests();
    ASSERT_EQ(requests.size(), 7u);
    for (size_t i = 0; i < requests.size(); ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "00 %02zX ", i + 1);
        EXPECT_EQ(requests[i].rfind(id, 0), 0u) << requests[i];
    }
    EXPECT_EQ(requests[1], "00 02 00 00 00 06 01 06 00 05 04 D2");
}

// --- Gateway exceptions and a server that misbehaves -----------------------

TEST_F(DirectMode, UnreachableServerGivesException10AtOnce)
{
    port = 1502;  // nothing listens there in this world
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 3000, false));
    ASSERT_TRUE(world->wait_log("connect socket error: Connection refused"));

    const auto start = Clock::now();
    EXPECT_EQ(hex(exchange(read_holding(0x11, 0x6B, 3), 5)), hex(with_crc({0x11, 0x83, 0x0A})));
    // No exchange is attempted: far less than the 3000 ms time-out.
    EXPECT_LT(elapsed_ms(start), 1500);
}

TEST_F(DirectMode, SilentServerGivesException11AfterTheTimeout)
{
    ASSERT_NO_FATAL_FAILURE(start_server("silent"));
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 800));

    const auto start = Clock::now();
    EXPECT_EQ(hex(exchange(read_holding(0x11, 0x6B, 3), 5)), hex(with_crc({0x11, 0x83, 0x0B})));
    const long took = elapsed_ms(start);
    EXPECT_GE(took, 750);
    EXPECT_LT(took, 3000);
    EXPECT_EQ(server_requests().size(), 1u);
}

TEST_F(DirectMode, ExceptionFromTheServerReachesTheLine)
{
    ASSERT_NO_FATAL_FAILURE(start_server("exception 2"));
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 1000));
    EXPECT_EQ(hex(exchange(read_holding(1, 900, 1), 5)), hex(with_crc({0x01, 0x83, 0x02})));
}

// The counters after a known sequence, as the status file and the SIGUSR1
// line give them: every figure is checked against what happened.
TEST_F(DirectMode, CountersTellWhatHappened)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 300));
    for (std::uint16_t i = 0; i < 3; ++i)
        ASSERT_EQ(hex(exchange(read_holding(1, i, 1), 7)), hex(holding_answer(1, {initial_value(i)})));
    for (int i = 0; i < 2; ++i) {
        write_bytes(line, {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00});
        ASSERT_TRUE(world->wait_log_count("Received bad CRC", static_cast<size_t>(i) + 1));
    }
    set_server_mode("silent");
    ASSERT_EQ(hex(exchange(read_holding(1, 0, 1), 5)), hex(with_crc({0x01, 0x83, 0x0B})));
    world->end(server);
    ASSERT_TRUE(world->wait_log("connection was closed"));
    ASSERT_EQ(hex(exchange(read_holding(1, 0, 1), 5)), hex(with_crc({0x01, 0x83, 0x0A})));

    kill(world->daemon_pid(), SIGUSR1);
    const auto line_logged = world->wait_log("statistics: ");
    ASSERT_TRUE(line_logged);
    const std::vector<std::string> expected{
        "MODE=direct", "LINE_FRAMES=7", "LINE_BAD_CRC=2", "LINE_ANSWERS=5", "LINE_EXCEPTIONS_10=1",
        "LINE_EXCEPTIONS_11=1", "LINE_STALE_DROPPED=0", "SERVER_CONNECTED=0", "SERVER_CONNECTS=1",
        "SERVER_LOST=1", "SERVER_EXCHANGES=4", "SERVER_ANSWERED=3", "SERVER_TIMEOUTS=1", "LOG_DROPPED=0"};
    for (const std::string& figure : expected)
        EXPECT_NE((" " + line_logged->message + " ").find(" " + figure + " "), std::string::npos) << figure;
    ASSERT_TRUE(wait_until([&] {
        const std::string status = "\n" + world->read_file("/run/korvane/status").value_or("");
        return status.find("\nLINE_FRAMES=7\n") != std::string::npos;
    }, 3000ms));
    const std::string status = "\n" + world->read_file("/run/korvane/status").value_or("");
    for (const std::string& figure : expected)
        EXPECT_NE(status.find("\n" + figure + "\n"), std::string::npos) << figure;
    EXPECT_EQ(status.find("CACHE_"), std::string::npos);

    // Direct mode holds nothing worth keeping: SIGTERM ends it at once.
    kill(world->daemon_pid(), SIGTERM);
    EXPECT_EQ(world->wait_daemon_exit(2000ms), 0);
    EXPECT_TRUE(world->wait_log("stopped"));
}

TEST_F(DirectMode, BroadcastReachesTheServerButNothingReachesTheLine)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 400));

    // The server's answer to unit 0 is dropped...
    write_bytes(line, read_holding(0, 0, 1));
    ASSERT_TRUE(wait_until([&] { return server_got(1); }, 3000ms));
    EXPECT_TRUE(read_until_quiet(line, 100ms, 600ms).empty());
    // ...and so is exception 11 when it leaves the broadcast unanswered.
    set_server_mode("silent");
    write_bytes(line, with_crc({0x00, 0x06, 0x00, 0x10, 0x00, 0x2A}));
    ASSERT_TRUE(wait_until([&] { return server_got(2); }, 3000ms));
    EXPECT_TRUE(read_until_quiet(line, 100ms, 1000ms).empty());

    set_server_mode("normal");
    EXPECT_EQ(hex(exchange(read_holding(1, 2, 1), 7)), hex(holding_answer(1, {initial_value(2)})));
    const auto requests = server_requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], "00 01 00 00 00 06 00 03 00 00 00 01");
    EXPECT_EQ(requests[1], "00 02 00 00 00 06 00 06 00 10 00 2A");
}

// A server rightly leaves unit 0 unanswered: waiting for it would hold the
// next request until the time-out, past any master's patience.
TEST_F(DirectMode, BroadcastIsNotWaitedForAndTheNextRequestIsServedAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(start_server("nounit0"));
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 2000));
    write_bytes(line, with_crc({0x00, 0x06, 0x00, 0x10, 0x00, 0x2A}));
    ASSERT_TRUE(wait_until([&] { return server_got(1); }, 3000ms));
    const auto asked = Clock::now();
    EXPECT_EQ(hex(exchange(read_holding(1, 3, 1), 7)), hex(holding_answer(1, {initial_value(3)})));
    EXPECT_LT(elapsed_ms(asked), 1000) << "the broadcast held the next request";
}

// Wrong-id traffic every 300 ms must not stretch an exchange: the time left
// is worked out from one deadline, whatever the C library's select does.
TEST_F(DirectMode, WrongIdTrafficCannotStretchAnExchange)
{
    ASSERT_NO_FATAL_FAILURE(start_server("wrongid 300"));
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 1000));
    const auto asked = Clock::now();
    EXPECT_EQ(hex(exchange(read_holding(1, 0, 1), 5)), hex(with_crc({0x01, 0x83, 0x0B})));
    const long took = elapsed_ms(asked);
    EXPECT_GE(took, 950);
    EXPECT_LT(took, 1700);
    std::printf("wrong ids every 300 ms: exchange of a 1000 ms time-out took %ld ms\n", took);
    EXPECT_TRUE(world->wait_log("received bad transaction id"));
}

// A late answer whose first piece arrives between exchanges and whose rest
// arrives during the next one is framed as one stale message; the next
// exchange gets its own answer.
TEST_F(DirectMode, LateAnswerInPiecesAroundTheNextRequestDoesNotSpoilIt)
{
    ASSERT_NO_FATAL_FAILURE(start_server("latesplit 600"));
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 500));
    EXPECT_EQ(hex(exchange(read_holding(1, 0, 1), 5)), hex(with_crc({0x01, 0x83, 0x0B})));
    set_server_mode("normal");
    // The master's next request, after the late answer's header (at 600 ms)
    // and before its rest (at 1200 ms).
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(hex(exchange(read_holding(1, 1, 1), 7)), hex(holding_answer(1, {initial_value(1)})));
    EXPECT_EQ(world->count_log("connection was closed"), 0u);
}

TEST_F(DirectMode, StaleAnswerIsSkippedAndTheRightOneDelivered)
{
    // The server first sends an answer with the previous id (exception 4),
    // 200 ms later the real one.
    ASSERT_NO_FATAL_FAILURE(start_server("badtid 200"));
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 1000));

    EXPECT_EQ(hex(exchange(read_holding(1, 1, 1), 7)), hex(holding_answer(1, {initial_value(1)})));
    ASSERT_TRUE(world->wait_log("received bad transaction id"));
    EXPECT_EQ(world->count_log("received bad transaction id"), 1u);
    // Nothing else followed the right answer on the line.
    EXPECT_TRUE(read_until_quiet(line, 100ms, 300ms).empty());
}

TEST_F(DirectMode, AnswerThatComesAfterItsTimeoutIsSkippedByTheNextExchange)
{
    // The server holds the first request 1500 ms, past the 1000 ms time-out,
    // and answers it while the next exchange is waiting for its own answer.
    ASSERT_NO_FATAL_FAILURE(start_server("late 1500"));
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 1000));

    write_bytes(line, read_holding(1, 1, 1));
    ASSERT_TRUE(wait_until([&] { return server_got(1); }, 3000ms));
    set_server_mode("normal");
    EXPECT_EQ(hex(read_bytes(line, 5, 3000ms)), hex(with_crc({0x01, 0x83, 0x0B})));

    EXPECT_EQ(hex(exchange(read_holding(1, 2, 1), 7)), hex(holding_answer(1, {initial_value(2)})));
    // The line may be read before the log socket is.
    EXPECT_TRUE(world->wait_log("received bad transaction id"));
    EXPECT_EQ(world->count_log("received bad transaction id"), 1u);
    EXPECT_EQ(server_requests().size(), 2u);
}

TEST_F(DirectMode, ClosedConnectionGivesException11AndServerThatComesBackIsUsedAgain)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 1000));
    ASSERT_EQ(exchange(read_holding(1, 0, 1), 7), holding_answer(1, {42}));

    // The server drops the connection on the request instead of answering.
    set_server_mode("close");
    EXPECT_EQ(hex(exchange(read_holding(1, 0, 1), 5)), hex(with_crc({0x01, 0x83, 0x0B})));
    EXPECT_TRUE(world->wait_log("connection was closed"));

    // Gone entirely: refused at once, until it listens again.
    set_server_mode("normal");
    world->end(server);
    ASSERT_TRUE(wait_until([&] { return !listening(); }, 5000ms));
    EXPECT_EQ(hex(exchange(read_holding(1, 0, 1), 5)), hex(with_crc({0x01, 0x83, 0x0A})));

    ASSERT_NO_FATAL_FAILURE(start_server());
    // Reconnects are paced five seconds apart: back within about six.
    const long back_ms = answered_again_ms();
    EXPECT_GE(back_ms, 0);
    EXPECT_LT(back_ms, 7500);
}

TEST_F(DirectMode, AnswerWrittenInTwoPiecesReachesTheLineWhole)
{
    // Header and unit id first, the PDU 200 ms later, as small PLC stacks do.
    ASSERT_NO_FATAL_FAILURE(start_server("split 200"));
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 1000));

    EXPECT_EQ(hex(exchange(read_holding(1, 0, 2), 9)), hex(holding_answer(1, {42, 49})));
    // Nothing was left behind to be taken for a later answer.
    EXPECT_EQ(hex(exchange(read_holding(1, 2, 1), 7)), hex(holding_answer(1, {initial_value(2)})));
    EXPECT_EQ(world->count_log("received bad transaction id"), 0u);
}

TEST_F(DirectMode, ServerThatStopsReadingCannotHoldTheLine)
{
    // Its stack still acknowledges while its application reads no more:
    // requests pile up in both socket buffers until one finds no room.
    ASSERT_NO_FATAL_FAILURE(start_server("deaf"));
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 20));

    Bytes request{0x01, 0x10, 0x00, 0x00, 0x00, 0x7B, 0xF6};
    request.resize(7 + 246, 0x55);
    request = with_crc(request);
    const Bytes no_answer = with_crc({0x01, 0x90, 0x0B});
    const Bytes not_sent = with_crc({0x01, 0x90, 0x0A});
    Bytes answer;
    int sent = 0;
    while (answer != not_sent && sent < 1000) {
        answer = exchange(request, 5, 2000ms);
        ++sent;
        ASSERT_TRUE(answer == no_answer || answer == not_sent) << "request " << sent << ": " << hex(answer);
    }
    EXPECT_EQ(hex(answer), hex(not_sent));
    EXPECT_TRUE(world->wait_log("connection was closed"));
    RecordProperty("requests_until_the_send_failed", sent);
}

TEST_F(DirectMode, BlackholedServerHoldsNoRequestLongerThanTheTimeout)
{
    // A listener whose full accept queue drops every SYN: connect() would
    // wait about 127 s, as to a host that is off.
    const int listener = world->listen_tcp(0, true);
    ASSERT_GE(listener, 0);
    port = local_port(listener);
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 1000, false));
    const auto failed = world->wait_log("connect socket error: ", 5000ms);
    ASSERT_TRUE(failed);
    // ETIMEDOUT: glibc says "Connection timed out", musl "Operation timed out".
    const std::string timed_out = failed->message;
    EXPECT_TRUE(timed_out == "connect socket error: Connection timed out" ||
                timed_out == "connect socket error: Operation timed out") << timed_out;

    // Requests back to back across the next attempt: none waits longer
    // than the attempt under way.
    long longest = 0;
    const auto begin = Clock::now();
    while (elapsed_ms(begin) < 8000) {
        const auto asked = Clock::now();
        ASSERT_EQ(hex(exchange(read_holding(1, 0, 1), 5)), hex(with_crc({0x01, 0x83, 0x0A})));
        longest = std::max(longest, elapsed_ms(asked));
    }
    EXPECT_GE(world->count_log(timed_out), 2u);
    EXPECT_LT(longest, 2000);
    RecordProperty("longest_wait_ms", static_cast<int>(longest));
    std::printf("blackholed server: longest wait of one request %ld ms\n", longest);
    close(listener);
}

// A name server that never answers holds a lookup for ten seconds and more;
// the lookup runs on the main thread, and the line is served meanwhile.
TEST_F(DirectMode, SilentNameServerHoldsNoRequest)
{
    const int name_server = world->silent_name_server();
    ASSERT_GE(name_server, 0);
    world->override_file("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n");
    server_host = "plc.invalid";
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 1000, false));
    long longest = 0;
    for (int i = 0; i < 21; ++i) {
        const auto asked = Clock::now();
        ASSERT_EQ(hex(exchange(read_holding(1, 0, 1), 5, 3000ms)), hex(with_crc({0x01, 0x83, 0x0A})));
        longest = std::max(longest, elapsed_ms(asked));
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_LT(longest, 500);
    std::printf("silent name server: longest wait for exception 10 %ld ms\n", longest);
    kill(world->daemon_pid(), SIGTERM);
    EXPECT_EQ(world->wait_daemon_exit(3000ms), 0);
    close(name_server);
}

TEST_F(DirectMode, VanishedServerIsNoticedIdleAndUnderLoadAndUsedWhenBack)
{
    ASSERT_NO_FATAL_FAILURE(make_far_network());
    ASSERT_NO_FATAL_FAILURE(start_server());
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 500));
    ASSERT_EQ(hex(exchange(read_holding(1, 0, 1), 7)), hex(holding_answer(1, {42})));

    // Idle: only keep-alive probes can find it gone.
    size_t mark = world->log_count();
    ASSERT_NO_FATAL_FAILURE(far_link(false));
    auto down = Clock::now();
    ASSERT_TRUE(world->wait_log_from(mark, "connection was closed", 40000ms));
    const long idle_ms = elapsed_ms(down);
    ASSERT_NO_FATAL_FAILURE(far_link(true));
    const long idle_back_ms = answered_again_ms();

    // Under load: every request is answered (11, then 10 once it is closed).
    mark = world->log_count();
    ASSERT_NO_FATAL_FAILURE(far_link(false));
    down = Clock::now();
    long loaded_ms = -1;
    while (loaded_ms < 0 && elapsed_ms(down) < 40000) {
        const Bytes answer = exchange(read_holding(1, 0, 1), 5, 3000ms);
        ASSERT_TRUE(answer == with_crc({0x01, 0x83, 0x0B}) || answer == with_crc({0x01, 0x83, 0x0A})) << hex(answer);
        if (world->wait_log_from(mark, "connection was closed", 0ms))
            loaded_ms = elapsed_ms(down);
    }
    ASSERT_NO_FATAL_FAILURE(far_link(true));
    const long loaded_back_ms = answered_again_ms();

    EXPECT_LT(idle_ms, 30000);
    EXPECT_GE(loaded_ms, 0);
    EXPECT_LT(loaded_ms, 30000);
    EXPECT_GE(idle_back_ms, 0);
    EXPECT_LT(idle_back_ms, 7500);
    EXPECT_GE(loaded_back_ms, 0);
    EXPECT_LT(loaded_back_ms, 7500);
    RecordProperty("noticed_idle_ms", static_cast<int>(idle_ms));
    RecordProperty("noticed_loaded_ms", static_cast<int>(loaded_ms));
    std::printf("vanished server noticed: idle %ld ms, loaded %ld ms; answered again %ld / %ld ms after it was back\n",
                idle_ms, loaded_ms, idle_back_ms, loaded_back_ms);
}

// --- The secure link ---------------------------------------------------------

// An answer in two TLS records; after a close the session is resumed (by
// socat only while it asks for no client certificate).
TEST_F(DirectMode, SecureLinkCarriesAnswersInPiecesAndResumesItsSession)
{
    ASSERT_NO_FATAL_FAILURE(start_server("split 200"));
    secure = world->secure_settings();
    world->tls_front(802, port, "server");
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 1000));
    EXPECT_EQ(hex(exchange(read_holding(1, 0, 2), 9)), hex(holding_answer(1, {42, 49})));
    set_server_mode("close");
    EXPECT_EQ(hex(exchange(read_holding(1, 0, 1), 5)), hex(with_crc({0x01, 0x83, 0x0B})));
    set_server_mode("normal");
    EXPECT_GE(answered_again_ms(), 0);
    kill(world->daemon_pid(), SIGUSR1);
    EXPECT_TRUE(world->wait_log(" TLS_HANDSHAKES=1 TLS_RESUMED=1 TLS_FAILURES=0 "));
    EXPECT_EQ(server_requests()[0], "00 01 00 00 00 06 01 03 00 00 00 02");
}

// pymodbus's TLS server, a stack of its own, demanding korvane's certificate.
TEST_F(DirectMode, SecureLinkWorksWithASecondStack)
{
    secure = world->secure_settings();
    server = world->spawn({"/usr/bin/python3", peers_directory() + "/tls_server.py", "802", "/run/tls/server.pem",
                           "/run/tls/server.key", "/run/tls/ca.pem"});
    ASSERT_TRUE(wait_until([&] { return world->listening(802); }, 10000ms));
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 2000));
    const Bytes write = with_crc({0x01, 0x06, 0x00, 0x05, 0x04, 0xD2});
    EXPECT_EQ(hex(exchange(write, 8)), hex(write));
    EXPECT_EQ(hex(exchange(read_holding(1, 5, 1), 7)), hex(holding_answer(1, {1234})));
}

// No request to a server that cannot prove itself. Cases: the server's certificate, its client
// authority; last the plain server, and a port that never speaks.
TEST_F(DirectMode, SecureLinkSendsNothingToAServerThatCannotProveItself)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    secure = world->secure_settings();
    ASSERT_TRUE(world->make_authority("other") && world->make_certificate("impostor", "other", "IP:127.0.0.1") &&
                world->make_certificate("named", "ca", "DNS:plc.test") &&
                world->make_certificate("lookalike", "ca", "DNS:127.0.0.1") &&
                world->make_certificate("expired", "ca", "IP:127.0.0.1", "20200101000000Z", "20210101000000Z") &&
                world->make_certificate("early", "ca", "IP:127.0.0.1", "20400101000000Z", "20410101000000Z"));
    const int quiet = world->listen_tcp(0);
    const std::string own = secure, quiet_port = std::to_string(local_port(quiet));
    const std::vector<std::array<std::string, 4>> cases = {
        {"impostor", "ca", own, "not signed by the authority in /run/tls/ca.pem"},
        {"named", "ca", own, "not made out to 127.0.0.1"},
        {"lookalike", "ca", own, "not made out to 127.0.0.1"},
        {"expired", "ca", own, "expired on 2021-01-01 00:00 UTC (device clock "},
        {"early", "ca", own, ") is before the start of the server's certificate (2040-01-01 00:00 UTC): set the clock"},
        {"server", "other", own, "the server refused korvane's certificate"},
        {"server", "ca", own.substr(0, own.find("MOD_KORVANE_TLS_CERT")), "none is set"},
        {"", "", "MOD_KORVANE_PORT=" + std::to_string(port) + "\n" + own, "TLS: the server "},
        {"", "", "MOD_KORVANE_PORT=" + quiet_port + "\n" + own, "the handshake did not finish within the time-out"}};
    line = world->open_pty("ttyUSB0");
    for (const auto& [certificate, client_authority, settings, said] : cases) {
        world->end(front);
        if (!certificate.empty())
            front = world->tls_front(802, port, certificate, client_authority);
        secure = settings;
        write_settings(5, 1000);
        const size_t mark = world->log_count();
        world->start_daemon();
        EXPECT_TRUE(world->wait_log_from(mark, said, 5000ms)) << certificate << ": " << said;
        EXPECT_EQ(hex(exchange(read_holding(1, 0, 1), 5)), hex(with_crc({0x01, 0x83, 0x0A}))) << certificate;
        world->kill_daemon();
    }
    EXPECT_EQ(world->count_log("Succesfully connected"), 0u);  // so no request was sent
    close(quiet);

    // A host name's certificate at a dotted address, by the name setting.
    world->end(front);
    front = world->tls_front(802, port, "named", "ca");
    secure = own + "MOD_KORVANE_TLS_NAME=plc.test\n";
    close(line);
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 1000));
    EXPECT_EQ(hex(exchange(read_holding(1, 0, 1), 7)), hex(holding_answer(1, {42})));
    set_server_mode("close");  // socat fails the resumption of a client that sent a certificate
    (void)exchange(read_holding(1, 0, 1), 5);
    set_server_mode("normal");
    EXPECT_GE(answered_again_ms(), 0);
    EXPECT_EQ(world->count_log("alert"), 0u);
}

// --- Ordering: a master that does not wait for its answer ------------------

// The master pairs answers with requests by time alone. Once it gave up on a
// request and sent another, the late answer to the first must not reach the
// line, or the master takes it for the newer request's answer.
TEST_F(DirectMode, RetriesOfAMasterThatGaveUpGetOnlyTheNewestAnswer)
{
    ASSERT_NO_FATAL_FAILURE(start_server("late 400"));
    ASSERT_NO_FATAL_FAILURE(start_with_line(5, 2000));

    // The master retries twice while the server sits on the first request:
    // both retries wait together in the request pipe, and each still goes
    // to the server as its own message.
    const Bytes request = read_holding(1, 3, 1);
    write_bytes(line, request);
    ASSERT_TRUE(wait_until([&] { return server_got(1); }, 3000ms));
    write_bytes(line, request);
    ASSERT_TRUE(wait_until([&] { return requests_queued() > 0; }, 3000ms));
    write_bytes(line, request);

    EXPECT_EQ(hex(read_until_quiet(line, 600ms, 5000ms)), hex(holding_answer(1, {initial_value(3)})));
    EXPECT_EQ(server_requests(), (std::vector<std::string>{"00 01 00 00 00 06 01 03 00 03 00 01",
                                                           "00 02 00 00 00 06 01 03 00 03 00 01",
                                                           "00 03 00 00 00 06 01 03 00 03 00 01"}));
    EXPECT_TRUE(world->wait_log_count("stale answer was dropped", 2));

    // A frame spoilt on the way is the master talking all the same: the
    // answer to the request before it must not be taken for its answer.
    write_bytes(line, read_holding(1, 100, 1));
    ASSERT_TRUE(wait_until([&] { return server_got(4); }, 3000ms));
    Bytes spoilt = read_holding(1, 200, 1);
    spoilt.back() ^= 0xFF;
    write_bytes(line, spoilt);
    EXPECT_EQ(hex(read_until_quiet(line, 600ms, 1500ms)), "");
    EXPECT_TRUE(world->wait_log_count("stale answer was dropped", 3));
}

TEST_F(DirectMode, AnswersThatComeWhileTheMasterSendsANewerRequestStayOffTheLine)
{
    // A is held 600 ms by the server; B queues behind it. Both answers come
    // back while the serial side is still gathering a slow third request C:
    // by the time they could be sent the master has moved on to C, and only
    // C's answer may reach the line.
    ASSERT_NO_FATAL_FAILURE(start_server("late 600"));
    ASSERT_NO_FATAL_FAILURE(start_with_line(100, 3000));

    const Bytes a = read_holding(1, 0, 1);
    const Bytes b = read_holding(1, 1, 1);
    Bytes c{0x01, 0x10, 0x00, 0x64, 0x00, 0x0A, 0x14};
    for (uint8_t i = 0; i < 20; ++i)
        c.push_back(i);
    c = with_crc(c);

    write_bytes(line, a);
    ASSERT_TRUE(wait_until([&] { return server_got(1); }, 3000ms));
    set_server_mode("normal");
    write_bytes(line, b);
    // B is in the request pipe once the split gap has passed.
    ASSERT_TRUE(wait_until([&] { return requests_queued() > 0; }, 3000ms));

    // C a byte every 40 ms: within the 100 ms split, so the serial side keeps
    // gathering it for over a second, across the moment A and B are answered.
    Bytes answers;
    for (const uint8_t byte : c) {
        write_bytes(line, {byte});
        const Bytes heard = read_until_quiet(line, 40ms, 40ms);
        answers.insert(answers.end(), heard.begin(), heard.end());
        ASSERT_LT(server_requests().size(), 3u) << "C was forwarded before it was complete";
    }
    ASSERT_TRUE(server_got(2)) << "A and B were not both answered while C was gathered";

    const Bytes rest = read_until_quiet(line, 500ms, 5000ms);
    answers.insert(answers.end(), rest.begin(), rest.end());
    EXPECT_EQ(hex(answers), hex(with_crc({0x01, 0x10, 0x00, 0x64, 0x00, 0x0A})));
    EXPECT_EQ(world->count_log("stale answer was dropped"), 2u);
}

// --- A log daemon that stalls or restarts ------------------------------------

TEST_F(DirectMode, StalledLogReaderNeitherStopsTheLineNorHidesWhatWasLost)
{
    // Of the bad-CRC lines of noise the first ten go out, into a log that holds five unread.
    world.emplace(WorldOptions{.log_queue = 4});
    ASSERT_NO_FATAL_FAILURE(start_server());
    ASSERT_NO_FATAL_FAILURE(start_with_line(2, 1000));

    Bytes noise(200, 0x5A);
    world->pause_log(true);
    constexpr int rounds = 300;
    for (int i = 0; i < rounds; ++i) {
        write_bytes(line, noise);
        std::this_thread::sleep_for(8ms);  // the gap that ends the noise frame
        ASSERT_EQ(hex(exchange(read_holding(1, 0, 1), 7, 2000ms)), hex(holding_answer(1, {42})))
            << "request " << i << " was not answered";
    }

    // The loss is told before the next line once the log reads again.
    const size_t resumed_at = world->log_count();
    world->pause_log(false);
    write_bytes(line, noise);
    const auto dropped = world->wait_log_from(resumed_at, "log was stalled, ", 5000ms);
    ASSERT_TRUE(dropped.has_value()) << "the loss was not reported";
    ASSERT_TRUE(world->wait_log_count("Received bad CRC", 1, 3000ms));
    const int lost = std::atoi(dropped->message.c_str() + std::strlen("log was stalled, "));
    EXPECT_GT(lost, 0);
    EXPECT_TRUE(wait_until([&] { return world->count_log("Received bad CRC") + static_cast<size_t>(lost) == 10; }, 3000ms))
        << lost << " dropped, " << world->count_log("Received bad CRC") << " logged";
    RecordProperty("log_lines_dropped", lost);

    // A log daemon that restarts binds a new socket: the daemon finds it.
    world->restart_log();
    const size_t restarted_at = world->log_count();
    world->end(server);
    EXPECT_TRUE(world->wait_log_from(restarted_at, "connection was closed", 3000ms));
}

// --- Endurance -------------------------------------------------------------

TEST_F(DirectMode, SoakOfTenThousandTransactionsLosesNothingAndDoesNotGrow)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    ASSERT_NO_FATAL_FAILURE(start_with_socat(1, 1000));

    int out = -1;
    const pid_t master = world->spawn(
        {peers_directory() + "/rtu_master", "--device", "/dev/ttyPEER", "--timeout", "2000", "soak", "10000"}, {},
        &out);
    ASSERT_GT(master, 0);
    std::string pending;
    std::vector<long> rss;
    std::string summary;
    while (auto text = read_line(out, pending, 60000ms)) {
        if (text->rfind("progress ", 0) == 0)
            rss.push_back(vm_rss_kb(world->daemon_pid()));
        if (text->rfind("soak ", 0) == 0)
            summary = *text;
    }
    close(out);
    EXPECT_EQ(world->wait_exit(master, 5000ms), 0);
    EXPECT_EQ(summary, "soak 10000 ok 10000 wrong 0 missing 0");
    ASSERT_EQ(rss.size(), 10u);
    EXPECT_GT(rss.front(), 0);
    EXPECT_EQ(rss.front(), rss.back()) << "VmRSS after the first thousand " << rss.front() << " kB, after the last "
                                       << rss.back() << " kB";
    EXPECT_EQ(world->count_log("Received bad CRC"), 0u);
    RecordProperty("vmrss_kb_first_thousand", static_cast<int>(rss.front()));
    RecordProperty("vmrss_kb_last_thousand", static_cast<int>(rss.back()));
}

} // namespace
