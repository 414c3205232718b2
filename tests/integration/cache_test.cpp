// Cache mode end to end: the real daemon in its world, a tmpfs standing in
// for the already-mounted stick (the board stand-in answers mount() with
// EBUSY), a pty as the serial line and the recording Modbus TCP server.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <thread>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/world.hpp"

namespace {

using namespace kt;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* cache_dir = "/var/run/korvane/flash/cache";

std::string record_name(unsigned number)
{
    char name[32];
    std::snprintf(name, sizeof name, "%09u.bin", number);
    return name;
}

// A write single register request without CRC: unit 1, register, value.
Bytes write_register(std::uint16_t reg, std::uint16_t value)
{
    return {0x01, 0x06, static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

std::vector<std::string> hex_each(const std::vector<Bytes>& frames)
{
    std::vector<std::string> texts;
    for (const auto& frame : frames)
        texts.push_back(hex(frame));
    return texts;
}

// The request part of an MBAP line the server logged: everything after the
// six-byte header, as hex.
std::string payload_of(const std::string& line)
{
    return line.size() > 18 ? line.substr(18) : std::string();
}

struct CacheMode : ::testing::Test {
    void SetUp() override
    {
        KT_REQUIRE_ROOT();
        KT_REQUIRE_STANDIN();
        WorldOptions options;
        options.flash_dir = true;
        world.emplace(options);
    }

    void configure(std::uint32_t timeout_ms = 500, const std::string& device = "ttyUSB0",
                   const std::string& address = "127.0.0.1")
    {
        world->write_settings({{"MOD_KORVANE_DEVICE", device},
                               {"MOD_KORVANE_SPLIT", "5"},
                               {"MOD_KORVANE_ADDR", address},
                               {"MOD_KORVANE_PORT", "1502"},
                               {"MOD_KORVANE_TIMEOUT", std::to_string(timeout_ms)},
                               {"MOD_KORVANE_CACHE_MODE", "1"}});
        line = world->open_pty(device);
        line_device = "/dev/" + device;
    }

    void start(std::vector<std::string> env = {})
    {
        env.push_back("KORVANE_STANDIN_MOUNT=EBUSY");
        world->start_daemon({}, env, true);
        ASSERT_TRUE(world->wait_log("started"));
        // What the master sends before the port is open is lost.
        ASSERT_TRUE(world->wait_holds_open(world->daemon_pid(), line_device));
    }

    // Starts the server; every run logs to a file of its own.
    void start_server(const std::string& mode = "normal")
    {
        const std::string log = "/run/server." + std::to_string(++server_runs) + ".log";
        server_logs.push_back(log);
        world->write_file("/run/server.mode", mode + "\n");
        server = world->spawn({peers_directory() + "/modbus_server", "--listen", "127.0.0.1:1502",
                               "--log", log, "--control", "/run/server.mode"});
        // Listening before the daemon tries, or its next attempt is five
        // seconds away.
        ASSERT_TRUE(wait_until([&] { return world->listening(1502); }, 5000ms));
    }

    void stop_server()
    {
        world->end(server);
        server = -1;
    }

    // Every request the server received, in order, across its runs.
    std::vector<std::string> received()
    {
        std::vector<std::string> lines;
        for (const auto& log : server_logs) {
            std::istringstream text(world->read_file(log).value_or(""));
            for (std::string l; std::getline(text, l);)
                if (!l.empty())
                    lines.push_back(payload_of(l));
        }
        return lines;
    }

    bool wait_received(size_t count, Millis deadline)
    {
        return wait_until([&] { return received().size() >= count; }, deadline);
    }

    // Sends a request with its CRC and returns the answer on the line.
    Bytes ask(const Bytes& request)
    {
        write_bytes(line, with_crc(request));
        return read_until_quiet(line, 50ms, 3000ms);
    }

    std::vector<std::string> records()
    {
        std::vector<std::string> names;
        if (DIR* dir = opendir(world->path(cache_dir).c_str())) {
            while (dirent* entry = readdir(dir))
                if (entry->d_name[0] != '.' && entry->d_type != DT_DIR)
                    names.push_back(entry->d_name);
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    void place_record(unsigned number, const Bytes& message)
    {
        world->write_file(std::string(cache_dir) + "/" + record_name(number), std::string(message.begin(), message.end()));
    }

    // Moves the daemon's monotonic clock (KORVANE_STANDIN_MONOTONIC) on by
    // seconds, in one step: a file half written would read as 0.
    void set_monotonic(int seconds)
    {
        world->write_file("/run/monotonic.new", std::to_string(seconds) + "\n");
        ASSERT_EQ(std::rename(world->path("/run/monotonic.new").c_str(), world->path("/run/monotonic").c_str()), 0);
    }

    // What the board stand-in recorded, one event a line.
    std::vector<std::string> events()
    {
        std::vector<std::string> lines;
        std::istringstream text(world->read_file("/run/standin.log").value_or(""));
        for (std::string l; std::getline(text, l);)
            lines.push_back(l);
        return lines;
    }

    // One figure of the SIGUSR1 statistics line, e.g. "CACHE_PASSED_OVER".
    long statistic(const std::string& key)
    {
        const size_t from = world->log_count();
        kill(world->daemon_pid(), SIGUSR1);
        const auto said = world->wait_log_from(from, "statistics: ");
        const size_t at = said ? said->message.find(" " + key + "=") : std::string::npos;
        return at == std::string::npos ? -1 : std::stol(said->message.substr(at + key.size() + 2));
    }

    // The secure link's settings go first: the first line of a key counts.
    void configure_secure(std::uint32_t timeout_ms = 500)
    {
        const std::string secure = world->secure_settings();
        configure(timeout_ms);
        world->write_settings_text(secure + world->read_file("/opt/korvane/etc/settings").value_or(""));
    }

    std::optional<World> world;
    int line = -1;
    std::string line_device;
    pid_t server = -1;
    int server_runs = 0;
    std::vector<std::string> server_logs;
};

TEST_F(CacheMode, WritesAreAnsweredAtOnceAndOtherFunctionsRefused)
{
    configure();
    start_server();
    start();

    const Bytes single = write_register(0x0010, 0x002A);
    EXPECT_EQ(ask(single), with_crc(single));

    const Bytes multiple{0x01, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02};
    EXPECT_EQ(ask(multiple), with_crc({0x01, 0x10, 0x00, 0x01, 0x00, 0x02}));

    EXPECT_EQ(ask({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}), with_crc({0x01, 0x83, 0x01}));
    auto refused = world->wait_log("Received unsupported modbus function");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->priority, 29);

    // Too short to carry an address and a value: never queued.
    EXPECT_EQ(ask({0x01, 0x06, 0x00, 0x01}), with_crc({0x01, 0x86, 0x03}));

    // The queued writes reach the server in order, wrapped with identifiers
    // 1 and 2; the refused requests never do.
    ASSERT_TRUE(wait_received(2, 5000ms));
    const auto got = received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], hex(single));
    EXPECT_EQ(got[1], hex(multiple));
    const std::string first = world->read_file(server_logs[0]).value_or("");
    EXPECT_EQ(first.substr(0, 17), "00 01 00 00 00 06");
}

TEST_F(CacheMode, OwnAnswerEchoedOnAnRtsKeyedLineIsNotTakenForARequest)
{
    // A transceiver whose receiver stays on hands back the acknowledgement,
    // which for function 6 is the request itself.
    configure(500, "ttyS0");
    start_server();
    start({"KORVANE_STANDIN_KIND_FIRST=3", "KORVANE_STANDIN_ECHO=1",
           "KORVANE_STANDIN_RECORD=/run/standin.log"});

    // Acknowledged and delivered once each; the master's next request after
    // an echoed answer is still heard.
    const std::vector<Bytes> writes{write_register(0x0700, 1), write_register(0x0701, 2)};
    for (const auto& write : writes)
        EXPECT_EQ(ask(write), with_crc(write));
    ASSERT_TRUE(wait_received(2, 5000ms));
    EXPECT_EQ(received(), hex_each(writes));
    // Both answers were echoed, and nothing else was sent after the open.
    const std::string record = world->read_file("/run/standin.log").value_or("");
    const std::string keyed = "rts-raise\nwrite 8\necho 8\nlsr-empty\nrts-drop\n";
    const std::string tail = "tty-open /dev/ttyS0\nrts-drop\n" + keyed + keyed;
    EXPECT_TRUE(record.size() >= tail.size() &&
                record.compare(record.size() - tail.size(), tail.size(), tail) == 0)
        << record.size() << " bytes recorded";
}

TEST_F(CacheMode, OutageSpillsToNumberedRecordsDeliveredInOrder)
{
    configure();
    start();  // no server yet: every delivery fails

    std::vector<Bytes> writes;
    for (std::uint16_t i = 1; i <= 3; ++i) {
        writes.push_back(write_register(0x0100 + i, 0x1000 + i));
        EXPECT_EQ(ask(writes.back()), with_crc(writes.back()));
    }
    ASSERT_TRUE(wait_until([&] { return records().size() == 3; }, 5000ms));
    EXPECT_EQ(records(), (std::vector<std::string>{record_name(1), record_name(2), record_name(3)}));
    for (unsigned n = 1; n <= 3; ++n) {
        const auto bytes = world->read_file(std::string(cache_dir) + "/" + record_name(n));
        ASSERT_TRUE(bytes);
        EXPECT_EQ(Bytes(bytes->begin(), bytes->end()), writes[n - 1]);
    }

    start_server();
    // Reconnection is paced to one attempt in five seconds.
    ASSERT_TRUE(wait_received(3, 15000ms));
    ASSERT_TRUE(wait_until([&] { return records().empty(); }, 5000ms));

    // Numbering goes on within the run although the directory is empty.
    stop_server();
    writes.push_back(write_register(0x0104, 0x1004));
    EXPECT_EQ(ask(writes.back()), with_crc(writes.back()));
    ASSERT_TRUE(wait_until([&] { return !records().empty(); }, 8000ms));
    EXPECT_EQ(records(), (std::vector<std::string>{record_name(4)}));

    start_server();
    ASSERT_TRUE(wait_received(4, 15000ms));
    EXPECT_EQ(received(), hex_each(writes));
}

TEST_F(CacheMode, RecordsFromAnEarlierRunGoFirst)
{
    const Bytes three = write_register(3, 3);
    const Bytes seven = write_register(7, 7);
    world->write_file(std::string(cache_dir) + "/" + record_name(3), std::string(three.begin(), three.end()));
    world->write_file(std::string(cache_dir) + "/" + record_name(7), std::string(seven.begin(), seven.end()));
    // Names no record is given are not records: never counted, delivered or
    // numbered after.
    const std::vector<std::string> strays{"-1.bin", "000000000.bin", "1000000000.bin", "12.bin"};
    for (const auto& name : strays)
        world->write_file(std::string(cache_dir) + "/" + name, std::string(three.begin(), three.end()));
    configure();
    start({"KORVANE_STANDIN_RECORD=/run/standin.log"});

    const Bytes eight = write_register(8, 8);
    EXPECT_EQ(ask(eight), with_crc(eight));
    std::vector<std::string> expected = strays;
    for (unsigned n : {3, 7, 8})
        expected.push_back(record_name(n));
    std::sort(expected.begin(), expected.end());
    ASSERT_TRUE(wait_until([&] { return records().size() == expected.size(); }, 5000ms));
    EXPECT_EQ(records(), expected);

    start_server();
    ASSERT_TRUE(wait_received(3, 15000ms));
    EXPECT_EQ(received(), (std::vector<std::string>{hex(three), hex(seven), hex(eight)}));
    EXPECT_TRUE(wait_until([&] { return records() == strays; }, 5000ms));
    // The removals reach the medium once the backlog is delivered: a power
    // cut must not bring the records back after the writes that follow.
    ASSERT_TRUE(wait_until([&] {
        const auto all = events();
        const auto last = std::find(all.rbegin(), all.rend(), "unlink " + record_name(8));
        return last != all.rend() && last != all.rbegin() && *(last - 1) == "syncfs" &&
               last - 1 != all.rbegin() && *(last - 2) == "fsync";
    }, 3000ms));
}

// A stick the kernel made read-only gives its records but keeps them: they
// are delivered once, and a later mount in the same run passes them over
// instead of delivering them after the writes that followed.
TEST_F(CacheMode, DeliveredRecordsOfAReadOnlyStickNeverComeBackAfterNewerWrites)
{
    std::vector<Bytes> writes;
    for (std::uint16_t value : {1, 2, 3}) {
        writes.push_back(write_register(0x10, value));
        place_record(value, writes.back());
    }
    configure();
    start_server();
    start({"KORVANE_STANDIN_READ_ONLY=1"});
    ASSERT_TRUE(wait_received(3, 10000ms));
    writes.push_back(write_register(0x10, 99));
    EXPECT_EQ(ask(writes.back()), with_crc(writes.back()));
    ASSERT_TRUE(wait_received(4, 5000ms));
    EXPECT_TRUE(world->wait_log("removing cache record file has failed (" + std::string(std::strerror(EROFS)) + ")"));

    // The outage's write finds the stick read-only: it is let go, mounted
    // again, and the write waits in the ring.
    stop_server();
    writes.push_back(write_register(0x10, 100));
    EXPECT_EQ(ask(writes.back()), with_crc(writes.back()));
    ASSERT_TRUE(world->wait_log("stick is gone (" + std::string(std::strerror(EROFS)) + "), letting go of it"));
    ASSERT_TRUE(world->wait_log("stick is mounted, 0 records waiting", 8000ms));
    start_server();
    ASSERT_TRUE(wait_received(5, 15000ms));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(received(), hex_each(writes));
}

TEST_F(CacheMode, NumberingStopsAtTheLastNumberAndStartsAgainOnceAllIsDelivered)
{
    const Bytes waiting = write_register(1, 1);
    world->write_file(std::string(cache_dir) + "/" + record_name(999999998),
                      std::string(waiting.begin(), waiting.end()));
    configure();
    start();  // no server: every write has to go to the stick

    // 999999999 is the last number; the write after it stays in the
    // daemon's hands and the next waits in the ring.
    std::vector<Bytes> writes{waiting};
    for (std::uint16_t i = 2; i <= 4; ++i) {
        writes.push_back(write_register(i, i));
        EXPECT_EQ(ask(writes.back()), with_crc(writes.back()));
    }
    ASSERT_TRUE(world->wait_log("cache record numbers are used up"));
    EXPECT_EQ(records(), (std::vector<std::string>{record_name(999999998), record_name(999999999)}));

    start_server();
    ASSERT_TRUE(wait_received(4, 15000ms));
    EXPECT_EQ(received(), hex_each(writes));
    ASSERT_TRUE(wait_until([&] { return records().empty(); }, 5000ms));

    stop_server();
    const Bytes after = write_register(5, 5);
    EXPECT_EQ(ask(after), with_crc(after));
    EXPECT_TRUE(wait_until([&] { return !records().empty(); }, 8000ms));
    EXPECT_EQ(records(), (std::vector<std::string>{record_name(1)}));
    EXPECT_EQ(world->count_log("cache record numbers are used up"), 1u);
}

TEST_F(CacheMode, ExceptionAnswerIsLoggedAndNotRetried)
{
    configure();
    start_server("exception 2");
    start();

    const Bytes refused = write_register(0x0200, 1);
    EXPECT_EQ(ask(refused), with_crc(refused));
    auto logged = world->wait_log("received error from tcp slave (code 2)", 10000ms);
    ASSERT_TRUE(logged);
    EXPECT_EQ(logged->priority, 29);

    // The next write is delivered after it, and the first never again.
    world->write_file("/run/server.mode", "normal\n");
    const Bytes next = write_register(0x0201, 2);
    EXPECT_EQ(ask(next), with_crc(next));
    ASSERT_TRUE(wait_received(2, 5000ms));
    EXPECT_EQ(received(), (std::vector<std::string>{hex(refused), hex(next)}));
    EXPECT_TRUE(records().empty());
}

TEST_F(CacheMode, UnansweredBroadcastIsSentOnceAndHoldsNothingBack)
{
    configure();
    start_server("silent");
    start();

    // Queued and delivered without a word on the line.
    const Bytes broadcast{0x00, 0x06, 0x00, 0x10, 0x00, 0x2A};
    EXPECT_TRUE(ask(broadcast).empty());
    ASSERT_TRUE(wait_received(1, 5000ms));
    world->write_file("/run/server.mode", "normal\n");
    const Bytes next = write_register(0x0011, 1);
    EXPECT_EQ(ask(next), with_crc(next));
    ASSERT_TRUE(wait_received(2, 5000ms));
    EXPECT_EQ(received(), (std::vector<std::string>{hex(broadcast), hex(next)}));
    EXPECT_TRUE(records().empty());

    // Identical broadcasts to a server that answers them after the
    // time-out: the late answer to one is no answer to the next, which is a
    // write of its own.
    world->write_file("/run/server.mode", "late 700\n");
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(ask(broadcast).empty());
        std::this_thread::sleep_for(900ms);
    }
    ASSERT_TRUE(wait_received(5, 5000ms));
    EXPECT_EQ(received(), (std::vector<std::string>{hex(broadcast), hex(next), hex(broadcast), hex(broadcast),
                                                    hex(broadcast)}));
}

// A header without a PDU (length 0) is no Modbus answer: the stream has lost
// its step, so the connection is made afresh and the record stays.
TEST_F(CacheMode, AnswerWithoutAPduIsNoDeliveryAndEarlierRecordsNumberBelowNewOnes)
{
    const Bytes waiting = write_register(5, 5);
    world->write_file(std::string(cache_dir) + "/" + record_name(5), std::string(waiting.begin(), waiting.end()));
    configure();
    start_server("empty");
    start();
    ASSERT_TRUE(world->wait_log("received bad message length 0", 5000ms));
    ASSERT_TRUE(world->wait_log("connection was closed"));
    EXPECT_EQ(records().size(), 1u);
    world->write_file("/run/server.mode", "normal\n");

    ASSERT_TRUE(wait_until([&] { return records().empty(); }, 10000ms));
    const Bytes next = write_register(6, 6);
    EXPECT_EQ(ask(next), with_crc(next));
    ASSERT_TRUE(wait_received(3, 5000ms));
    EXPECT_EQ(received(), (std::vector<std::string>{hex(waiting), hex(waiting), hex(next)}));

    // A first outage after the earlier run's record went: the write it
    // stores must be numbered above that record, or it is never sent.
    stop_server();
    const Bytes stored = write_register(7, 7);
    EXPECT_EQ(ask(stored), with_crc(stored));
    ASSERT_TRUE(wait_until([&] { return !records().empty(); }, 8000ms));
    start_server();
    ASSERT_TRUE(wait_received(4, 15000ms));
    EXPECT_EQ(received(), (std::vector<std::string>{hex(waiting), hex(waiting), hex(next), hex(stored)}));
}

// The late answer to an earlier attempt proves the write was done: it is
// delivered, not sent again and again, and the writes behind it follow.
TEST_F(CacheMode, WriteAnsweredAfterItsTimeoutCountsAsDeliveredAndIsNotRepeated)
{
    configure(100);
    start_server("late 150");
    start();
    const Bytes first = write_register(0x20, 1);
    const Bytes second = write_register(0x21, 2);
    EXPECT_EQ(ask(first), with_crc(first));
    EXPECT_EQ(ask(second), with_crc(second));
    ASSERT_TRUE(wait_until([&] { return records().empty() && received().size() >= 2 &&
                                        received().back() == hex(second); }, 5000ms));
    const auto sent = received();
    // Once, or twice when the late answer came during the next attempt.
    EXPECT_LE(std::count(sent.begin(), sent.end(), hex(first)), 2);
    EXPECT_LE(std::count(sent.begin(), sent.end(), hex(second)), 2);
    std::printf("100 ms time-out, server 150 ms late: first write executed %d times, second %d\n",
                static_cast<int>(std::count(sent.begin(), sent.end(), hex(first))),
                static_cast<int>(std::count(sent.begin(), sent.end(), hex(second))));

    // A server far slower than the time-out: the write goes out again only
    // after a pause that grows, so the answer to the first attempt comes
    // before a third; the round trip is that attempt's.
    world->kill_daemon();
    configure(200);
    world->write_file("/run/server.mode", "late 700\n");
    start();
    const Bytes slow = write_register(0x23, 4);
    EXPECT_EQ(ask(slow), with_crc(slow));
    ASSERT_TRUE(wait_until([&] { return received().back() == hex(slow); }, 5000ms));
    std::this_thread::sleep_for(2500ms);
    const auto executed = received();
    EXPECT_LE(std::count(executed.begin(), executed.end(), hex(slow)), 2);
    EXPECT_GE(statistic("SERVER_RTT_LAST_US"), 650000);
    std::printf("200 ms time-out, server 700 ms late: executed %d times\n",
                static_cast<int>(std::count(executed.begin(), executed.end(), hex(slow))));

    // A missing time-out is one second for an exchange, not a mere poll.
    world->kill_daemon();
    world->write_file("/run/server.mode", "normal\n");
    world->write_settings({{"MOD_KORVANE_DEVICE", "ttyUSB0"},
                           {"MOD_KORVANE_SPLIT", "5"},
                           {"MOD_KORVANE_ADDR", "127.0.0.1"},
                           {"MOD_KORVANE_PORT", "1502"},
                           {"MOD_KORVANE_CACHE_MODE", "1"}});
    start();
    EXPECT_TRUE(world->wait_log("timeout 0 is taken as 1000 ms for each exchange and connection attempt"));
    const Bytes third = write_register(0x22, 3);
    EXPECT_EQ(ask(third), with_crc(third));
    ASSERT_TRUE(wait_until([&] { return received().back() == hex(third); }, 5000ms));
    std::this_thread::sleep_for(500ms);
    const auto all = received();
    EXPECT_EQ(std::count(all.begin(), all.end(), hex(third)), 1);
}

// While a name server keeps the lookup waiting, the ring still moves to
// the stick: nothing is refused in the very outage cache mode is for.
TEST_F(CacheMode, SilentNameServerKeepsNoWriteFromTheStick)
{
    const int name_server = world->silent_name_server();
    ASSERT_GE(name_server, 0);
    world->override_file("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n");
    configure(500, "ttyUSB0", "plc.invalid");
    start({"KORVANE_STANDIN_SIGNALFD=ENOMEM"});
    int acknowledged = 0;
    for (std::uint16_t i = 0; i < 120; ++i) {
        const Bytes request = write_register(0x0400, i);
        acknowledged += ask(request) == with_crc(request) ? 1 : 0;
    }
    EXPECT_EQ(acknowledged, 120);
    EXPECT_TRUE(wait_until([&] { return records().size() == 120; }, 5000ms)) << records().size();
    // Neither the status file nor a stop waits for the lookup, not even
    // while the signals are looked for without a signal descriptor.
    const auto uptime = [&] { const std::string s = world->read_file("/run/korvane/status").value_or("UPTIME=0"); return std::atoi(s.c_str() + s.find("UPTIME=") + 7); };
    EXPECT_TRUE(wait_until([&] { return uptime() >= 10; }, 15000ms));
    EXPECT_TRUE(world->wait_log("signal descriptor cannot be made (Cannot allocate memory), signals are looked for every 100 ms"));
    kill(world->daemon_pid(), SIGTERM);
    EXPECT_EQ(world->wait_daemon_exit(5000ms), 0);
    EXPECT_TRUE(world->wait_log("stopped, 0 messages kept on the stick"));
    close(name_server);
}

// A name that resolved once and then stops resolving: the last address
// found is used, not given up.
TEST_F(CacheMode, NameThatStopsResolvingKeepsItsLastAddress)
{
    world->override_file("/etc/hosts", "127.0.0.1 localhost\n127.0.0.1 plc.test\n");
    configure(500, "ttyUSB0", "plc.test");
    start_server();
    set_monotonic(0);
    start({"KORVANE_STANDIN_MONOTONIC=/run/monotonic"});
    ASSERT_TRUE(world->wait_log("Succesfully connected to plc.test"));
    world->override_file("/etc/hosts", "127.0.0.1 localhost\n");
    stop_server();
    start_server();
    set_monotonic(6);
    const Bytes write = write_register(0x0410, 1);
    EXPECT_EQ(ask(write), with_crc(write));
    EXPECT_TRUE(world->wait_log("error resolving hostname plc.test"));
    EXPECT_TRUE(world->wait_log_count("Succesfully connected to plc.test", 2));
    ASSERT_TRUE(wait_received(1, 5000ms));
}

TEST_F(CacheMode, FullRingRefusesWithException4)
{
    // A silent server holds each delivery for the whole time-out and the
    // stick refuses every record (its write-back fails): the ring fills.
    configure(3000);
    start_server("silent");
    start({"KORVANE_STANDIN_FSYNC=ENOSPC"});

    int acknowledged = 0;
    int refused = 0;
    for (std::uint16_t i = 0; i < 110; ++i) {
        const Bytes request = write_register(0x0300, i);
        const Bytes answer = ask(request);
        if (answer == with_crc(request))
            ++acknowledged;
        else if (answer == with_crc({0x01, 0x86, 0x04}))
            ++refused;
    }
    EXPECT_EQ(acknowledged + refused, 110);
    EXPECT_GE(acknowledged, 100);
    EXPECT_GE(refused, 1);
    auto full = world->wait_log("ring buffer is full, message were discarded");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->priority, 29);
}

TEST_F(CacheMode, UnreadableOldestRecordIsPassedOverOnce)
{
    // "000000012.BIN" is record 12 by name (vfat matches names in any case);
    // on this tmpfs its file 000000012.bin does not exist.
    const Bytes three = write_register(3, 3);
    const Bytes twenty = write_register(20, 20);
    world->write_file(std::string(cache_dir) + "/" + record_name(3), std::string(three.begin(), three.end()));
    world->write_file(std::string(cache_dir) + "/000000012.BIN", "not a record");
    world->write_file(std::string(cache_dir) + "/" + record_name(20), std::string(twenty.begin(), twenty.end()));
    configure();
    start_server();
    start();

    ASSERT_TRUE(wait_received(2, 10000ms));
    const Bytes later = write_register(21, 21);
    EXPECT_EQ(ask(later), with_crc(later));
    ASSERT_TRUE(wait_received(3, 5000ms));
    EXPECT_EQ(received(), (std::vector<std::string>{hex(three), hex(twenty), hex(later)}));

    // Logged once, not on every turn of the worker.
    const std::string failed = "openning cache record file " + std::string(cache_dir) + "/" +
                               record_name(12) + " has failed (No such file or directory)";
    ASSERT_TRUE(world->wait_log(failed));
    const Bytes last = write_register(22, 22);
    EXPECT_EQ(ask(last), with_crc(last));
    ASSERT_TRUE(wait_received(4, 5000ms));
    EXPECT_EQ(world->count_log("openning cache record file"), 1u);
}

TEST_F(CacheMode, FullStickLosesNoAcknowledgedWrite)
{
    // A tiny tmpfs, filled up, stands in for a full stick.
    const pid_t mounter = world->spawn({"/bin/mount", "-t", "tmpfs", "-o", "size=8k,nr_inodes=64",
                                        "tmpfs", "/run/korvane/flash"});
    ASSERT_EQ(world->wait_exit(mounter), 0);
    const pid_t filler = world->spawn({"/bin/sh", "-c",
                                       "mkdir /run/korvane/flash/cache && "
                                       "dd if=/dev/zero of=/run/korvane/flash/filler bs=1k count=64 2>/dev/null; true"});
    ASSERT_EQ(world->wait_exit(filler), 0);
    configure();
    start();  // server down: every write has to go to the stick, which is full

    std::vector<Bytes> acknowledged;
    int refused = 0;
    for (std::uint16_t i = 0; i < 120; ++i) {
        const Bytes request = write_register(0x0400, i);
        const Bytes answer = ask(request);
        if (answer == with_crc(request))
            acknowledged.push_back(request);
        else if (answer == with_crc({0x01, 0x86, 0x04}))
            ++refused;
    }
    // The ring's 100 slots and the one message the worker holds.
    EXPECT_GE(acknowledged.size(), 100u);
    EXPECT_LE(acknowledged.size(), 102u);
    EXPECT_GE(refused, 18);

    // No partial record is left behind, and the refusal is not repeated in
    // the log every second.
    for (const auto& name : records()) {
        struct stat status {};
        ASSERT_EQ(stat(world->path(std::string(cache_dir) + "/" + name).c_str(), &status), 0);
        EXPECT_EQ(status.st_size, 6) << name;
    }
    const size_t failures = world->count_log("cache record");
    EXPECT_LE(failures, 2u);

    // Room again and the server back: every acknowledged write arrives once,
    // in order.
    ASSERT_EQ(unlink(world->path("/run/korvane/flash/filler").c_str()), 0);
    start_server();
    ASSERT_TRUE(wait_received(acknowledged.size(), 30000ms));
    EXPECT_EQ(received(), hex_each(acknowledged));
}

// Lines of the stand-in's record that start with what.
size_t recorded(World& world, const std::string& what)
{
    std::istringstream text(world.read_file("/run/standin.log").value_or(""));
    size_t count = 0;
    for (std::string line; std::getline(text, line);)
        count += line.rfind(what, 0) == 0 ? 1 : 0;
    return count;
}

// Writes that pile up while a delivery waits go to the stick together, under
// one sync; an outage costs no record reads; and the directory is read once
// at start, not for every delivery.
TEST_F(CacheMode, OutageStoresInBatchesReadsNoRecordAndNeverRescansTheDirectory)
{
    configure(1000);
    start_server("silent");
    set_monotonic(0);
    start({"KORVANE_STANDIN_RECORD=/run/standin.log", "KORVANE_STANDIN_MONOTONIC=/run/monotonic"});
    std::vector<Bytes> writes;
    for (std::uint16_t i = 0; i < 20; ++i) {
        writes.push_back(write_register(0x0800, i));
        EXPECT_EQ(ask(writes.back()), with_crc(writes.back()));
    }
    ASSERT_TRUE(wait_until([&] { return records().size() == 20; }, 10000ms)) << records().size();
    const size_t rescans = recorded(*world, "dir-rewind");
    // Stored one by one, each record took two syncs (40 in all).
    const size_t syncs = recorded(*world, "fsync") + recorded(*world, "syncfs");
    EXPECT_LE(syncs, 24u);
    std::printf("20 writes during a silent server's exchanges: %zu syncs\n", syncs);
    // Every batch: its bytes synced and flushed from the device's cache
    // before any record takes its name, the names synced and flushed after.
    std::string order;
    for (const std::string& e : events())
        if (e == "syncfs" || e == "fsync" || e.rfind("rename ", 0) == 0)
            order += e[0];
    EXPECT_TRUE(std::regex_match(order, std::regex("(sf|sfr+sf)+"))) << order;

    stop_server();
    ASSERT_TRUE(world->wait_log("connect socket error", 8000ms));
    std::this_thread::sleep_for(200ms);
    // Polling, the worker would read the oldest record a thousand times
    // between two attempts. Three attempts, each woken by a write once the
    // clock has moved past the pacing.
    const size_t reads = recorded(*world, "record-open");
    for (int attempt = 1; attempt <= 3; ++attempt) {
        set_monotonic(6 * attempt);
        writes.push_back(write_register(0x0801, static_cast<std::uint16_t>(attempt)));
        EXPECT_EQ(ask(writes.back()), with_crc(writes.back()));
        ASSERT_TRUE(world->wait_log_count("connect socket error", static_cast<size_t>(attempt) + 1, 3000ms));
        // The next attempt is paced from the end of this one, just after
        // its line: the clock moves on only once that is done.
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(recorded(*world, "record-open"), reads) << "records were read without a connection";

    start_server();
    ASSERT_TRUE(wait_until([&] { return received().size() >= writes.size() && records().empty(); }, 15000ms));
    const auto all = received();
    EXPECT_EQ(std::vector<std::string>(all.end() - static_cast<long>(writes.size()), all.end()), hex_each(writes));
    EXPECT_EQ(recorded(*world, "dir-rewind"), rescans);
}

// A record that cannot be read keeps its place: the writes behind it must
// not overtake it. An I/O error on one record is no pulled stick: the stick
// stays mounted, and the record is read again after growing pauses. After
// ten minutes of failures it is passed over for good.
TEST_F(CacheMode, RecordThatCannotBeReadYetKeepsItsPlace)
{
    std::vector<Bytes> waiting;
    for (std::uint16_t number : {5, 6, 7}) {
        waiting.push_back(write_register(number, number));
        place_record(number, waiting.back());
    }
    configure();
    start_server();
    start({"KORVANE_STANDIN_RECORD_READ=EIO:2", "KORVANE_STANDIN_RECORD=/run/standin.log"});
    ASSERT_TRUE(world->wait_log("openning cache record file " + std::string(cache_dir) + "/" + record_name(5) +
                                " has failed (" + std::strerror(EIO) + ")"));
    waiting.push_back(write_register(8, 8));
    EXPECT_EQ(ask(waiting.back()), with_crc(waiting.back()));
    ASSERT_TRUE(wait_received(4, 10000ms));
    EXPECT_EQ(received(), hex_each(waiting));
    EXPECT_TRUE(wait_until([&] { return records().empty(); }, 3000ms));
    EXPECT_EQ(world->count_log("cache record file"), 1u);
    EXPECT_EQ(world->count_log("stick is gone"), 0u);
    // Read twice in vain a second and then two seconds apart, never again
    // at once; the stick was mounted once, at start.
    const auto all = events();
    EXPECT_EQ(std::count(all.begin(), all.end(), "record-open " + record_name(5)), 3);
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const std::string& e) { return e.rfind("mount ", 0) == 0; }), 1);
    EXPECT_EQ(statistic("CACHE_READ_ERRORS"), 2);

    // A record that never reads is passed over after ten minutes, and the
    // writes behind it go on.
    world->kill_daemon();
    place_record(9, write_register(9, 9));
    set_monotonic(0);
    start({"KORVANE_STANDIN_RECORD_READ=EIO/" + record_name(9), "KORVANE_STANDIN_MONOTONIC=/run/monotonic"});
    ASSERT_TRUE(world->wait_log("openning cache record file " + std::string(cache_dir) + "/" + record_name(9)));
    const Bytes behind = write_register(10, 10);
    EXPECT_EQ(ask(behind), with_crc(behind));
    set_monotonic(601);
    EXPECT_TRUE(world->wait_log("cache record file " + std::string(cache_dir) + "/" + record_name(9) +
                                " could not be read for 10 minutes, passed over", 5000ms));
    ASSERT_TRUE(wait_received(5, 5000ms));
    EXPECT_EQ(received().back(), hex(behind));
    EXPECT_EQ(statistic("CACHE_PASSED_OVER"), 1);
    EXPECT_EQ(world->count_log("stick is"), 0u);
}

// A stick that fails as a pulled one does is let go; the next stick found is
// used, and nothing acknowledged is lost.
TEST_F(CacheMode, StickThatIsGoneIsLetGoAndTheNextOneIsUsed)
{
    configure();
    start({"KORVANE_STANDIN_FSYNC=EIO:1", "KORVANE_STANDIN_RECORD=/run/standin.log"});
    const Bytes first = write_register(0x0900, 1);
    EXPECT_EQ(ask(first), with_crc(first));
    ASSERT_TRUE(world->wait_log("stick is gone (" + std::string(std::strerror(EIO)) + "), letting go of it"));
    EXPECT_EQ(recorded(*world, "umount /var/run/korvane/flash"), 1u);
    const Bytes second = write_register(0x0900, 2);
    EXPECT_EQ(ask(second), with_crc(second));
    ASSERT_TRUE(world->wait_log("stick is mounted, 0 records waiting", 5000ms));
    ASSERT_TRUE(wait_until([&] { return records().size() == 2; }, 3000ms));
    start_server();
    ASSERT_TRUE(wait_received(2, 10000ms));
    EXPECT_EQ(received(), hex_each({first, second}));
}

// The counters after an outage with stored records, as the status file and
// the SIGUSR1 line give them.
TEST_F(CacheMode, CountersTellWhatHappened)
{
    configure();
    start();
    std::vector<Bytes> writes;
    for (std::uint16_t i = 0; i < 3; ++i) {
        writes.push_back(write_register(0x0A00, i));
        ASSERT_EQ(ask(writes.back()), with_crc(writes.back()));
    }
    ASSERT_EQ(ask({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}), with_crc({0x01, 0x83, 0x01}));
    write_bytes(line, {0x01, 0x06, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00});
    ASSERT_TRUE(world->wait_log("Received bad CRC"));
    ASSERT_TRUE(wait_until([&] { return records().size() == 3; }, 3000ms));
    start_server();
    ASSERT_TRUE(wait_received(3, 10000ms));
    ASSERT_TRUE(wait_until([&] { return records().empty(); }, 3000ms));

    kill(world->daemon_pid(), SIGUSR1);
    const auto logged = world->wait_log("statistics: ");
    ASSERT_TRUE(logged);
    const std::vector<std::string> expected{
        "MODE=cache", "LINE_FRAMES=5", "LINE_BAD_CRC=1", "LINE_ANSWERS=4", "LINE_EXCEPTIONS_1=1",
        "SERVER_CONNECTED=1", "SERVER_EXCHANGES=3", "SERVER_ANSWERED=3", "CACHE_ACKNOWLEDGED=3",
        "CACHE_REFUSED=0", "CACHE_STORED=3", "CACHE_DELIVERED=3", "CACHE_WAITING=0", "CACHE_RING=0",
        "CACHE_STICK=mounted"};
    for (const std::string& figure : expected)
        EXPECT_NE((" " + logged->message + " ").find(" " + figure + " "), std::string::npos) << figure;
    ASSERT_TRUE(wait_until([&] {
        return world->read_file("/run/korvane/status").value_or("").find("CACHE_DELIVERED=3\n") != std::string::npos;
    }, 3000ms));
    std::printf("%s\n%s", logged->message.c_str(), world->read_file("/run/korvane/status").value_or("").c_str());
}

// SIGTERM during an outage: every acknowledged write still in RAM goes to
// the stick before korvane ends, and the next run delivers them all.
TEST_F(CacheMode, OrderlyStopKeepsTheRingOnTheStick)
{
    configure(5000);
    start_server("silent");
    start();
    ASSERT_TRUE(world->wait_log("Succesfully connected to"));
    std::vector<Bytes> writes;
    for (std::uint16_t i = 0; i < 50; ++i) {
        writes.push_back(write_register(0x0B00, i));
        ASSERT_EQ(ask(writes.back()), with_crc(writes.back()));
    }
    // The first is held in an exchange with a server that never answers;
    // the other 49 wait in the ring.
    ASSERT_LE(records().size(), 1u);
    const auto asked = std::chrono::steady_clock::now();
    kill(world->daemon_pid(), SIGTERM);
    EXPECT_EQ(world->wait_daemon_exit(6000ms), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
    EXPECT_TRUE(world->wait_log("stopped, 50 messages kept on the stick"));
    EXPECT_EQ(records().size(), 50u);

    world->write_file("/run/server.mode", "normal\n");
    start();
    ASSERT_TRUE(wait_until([&] { return records().empty() && received().size() >= 51; }, 15000ms));
    const auto all = received();
    // The one held in the exchange reached the server twice: once unanswered.
    EXPECT_EQ(std::vector<std::string>(all.end() - 50, all.end()), hex_each(writes));
}

// SIGTERM while an attempt waits for a server that drops every SYN: the
// attempt ends, a later write is refused, the stop (a slow stick) keeps the ring.
TEST_F(CacheMode, OrderlyStopCutsAConnectionAttemptShort)
{
    const int listener = world->listen_tcp(1502, true);
    ASSERT_GE(listener, 0);
    configure(10000);
    start({"KORVANE_STANDIN_SYNC_MS=500"});
    for (std::uint16_t i = 0; i < 5; ++i)
        ASSERT_EQ(ask(write_register(0x0E00, i)), with_crc(write_register(0x0E00, i)));
    const auto asked = std::chrono::steady_clock::now();
    kill(world->daemon_pid(), SIGTERM);
    EXPECT_EQ(ask(write_register(0x0E00, 5)), with_crc({0x01, 0x86, 0x04}));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
    EXPECT_EQ(world->wait_daemon_exit(4000ms), 0);
    EXPECT_TRUE(world->wait_log("stopped, 5 messages kept on the stick"));
    EXPECT_EQ(records().size(), 5u);
    close(listener);
}

// A stop that finds the worker in a long sync refuses the next write at once.
TEST_F(CacheMode, OrderlyStopRefusesWritesAtOnce)
{
    configure();
    start({"KORVANE_STANDIN_SYNC_MS=1000"});
    ASSERT_EQ(ask(write_register(0x0F00, 1)), with_crc(write_register(0x0F00, 1)));
    ASSERT_TRUE(wait_until([&] { return !records().empty(); }, 1000ms));
    kill(world->daemon_pid(), SIGTERM);
    EXPECT_EQ(ask(write_register(0x0F00, 2)), with_crc({0x01, 0x86, 0x04}));
    EXPECT_EQ(world->wait_daemon_exit(6000ms), 0);
    EXPECT_EQ(records(), std::vector<std::string>{record_name(1)});
}

// Writes are kept from an impostor and reach the real server once it is there.
TEST_F(CacheMode, SecureLinkKeepsWritesFromAnImpostorAndDeliversThemToTheServer)
{
    configure_secure();
    start_server();
    ASSERT_TRUE(world->make_authority("other") && world->make_certificate("impostor", "other", "IP:127.0.0.1"));
    pid_t front = world->tls_front(802, 1502, "impostor", "ca");
    start();
    ASSERT_TRUE(world->wait_log("TLS: the server's certificate is not signed by the authority in /run/tls/ca.pem"));
    const std::vector<Bytes> writes{write_register(0x0C00, 0), write_register(0x0C00, 1), write_register(0x0C00, 2)};
    for (const Bytes& write : writes)
        ASSERT_EQ(ask(write), with_crc(write));
    ASSERT_TRUE(wait_until([&] { return records().size() == 3; }, 5000ms));
    world->end(front);
    front = world->tls_front(802, 1502, "server", "ca");
    ASSERT_TRUE(wait_received(3, 15000ms));
    EXPECT_EQ(received(), hex_each(writes));
    EXPECT_EQ(world->count_log("TLS: the server's certificate is not signed"), 1u);
}

// SIGTERM ends a handshake that hangs; the writes go to the stick.
TEST_F(CacheMode, StopEndsAHandshakeThatHangs)
{
    configure_secure(20000);
    const int silent = world->listen_tcp(802);
    start();
    for (std::uint16_t i = 0; i < 3; ++i)
        ASSERT_EQ(ask(write_register(0x0D00, i)), with_crc(write_register(0x0D00, i)));
    kill(world->daemon_pid(), SIGTERM);
    EXPECT_EQ(world->wait_daemon_exit(6000ms), 0);
    EXPECT_TRUE(world->wait_log("stopped, 3 messages kept on the stick"));
    close(silent);
}

// A power cut between a record's write and its rename leaves a temporary
// file, never a record: the next run removes it and delivers nothing torn.
TEST_F(CacheMode, StoreCutBeforeItsRenameLeavesNoRecord)
{
    configure();
    start({"KORVANE_STANDIN_CUT_RENAME=1"});
    const Bytes cut = write_register(0x0C00, 1);
    EXPECT_EQ(ask(cut), with_crc(cut));
    EXPECT_EQ(world->wait_daemon_exit(5000ms), -SIGKILL);
    EXPECT_TRUE(records().empty());
    const std::string left = std::string(cache_dir) + "/tmp/000000001.tmp";
    EXPECT_TRUE(world->exists(left));

    start();
    EXPECT_TRUE(wait_until([&] { return !world->exists(left); }, 3000ms));
    const Bytes next = write_register(0x0C00, 2);
    EXPECT_EQ(ask(next), with_crc(next));
    start_server();
    ASSERT_TRUE(wait_received(1, 10000ms));
    EXPECT_EQ(received(), hex_each({next}));
}

// MOD_KORVANE_DURABLE: a write is acknowledged once the server answered it
// or it is synced on the stick; otherwise the master gets exception 4 within
// the time-out, and the write may still be delivered later.
TEST_F(CacheMode, DurableAcknowledgementWaitsForTheServerOrTheStick)
{
    const auto durable = [&](const std::string& timeout) {
        world->write_settings({{"MOD_KORVANE_DEVICE", "ttyUSB0"}, {"MOD_KORVANE_SPLIT", "5"},
                               {"MOD_KORVANE_ADDR", "127.0.0.1"}, {"MOD_KORVANE_PORT", "1502"},
                               {"MOD_KORVANE_TIMEOUT", timeout}, {"MOD_KORVANE_CACHE_MODE", "1"},
                               {"MOD_KORVANE_DURABLE", "1"}});
    };
    configure();
    durable("500");
    // Neither: no server, and the stick refuses every record.
    start({"KORVANE_STANDIN_FSYNC=ENOSPC"});
    const Bytes refused = write_register(0x0D00, 1);
    EXPECT_EQ(ask(refused), with_crc({0x01, 0x86, 0x04}));
    world->kill_daemon();

    // Stored: the record is on the stick when the master hears "done".
    start();
    const Bytes stored = write_register(0x0D00, 2);
    EXPECT_EQ(ask(stored), with_crc(stored));
    EXPECT_EQ(records().size(), 1u);

    // Answered: the server has it when the master hears "done".
    start_server();
    ASSERT_TRUE(wait_received(1, 10000ms));
    const Bytes answered = write_register(0x0D00, 3);
    EXPECT_EQ(ask(answered), with_crc(answered));
    EXPECT_EQ(received(), hex_each({stored, answered}));

    // Behind a backlog that takes longer to drain than the time-out: the
    // write goes on the stick at once, is acknowledged once stored, and is
    // executed once, after the backlog.
    world->kill_daemon();
    std::vector<Bytes> backlog;
    for (std::uint16_t i = 0; i < 200; ++i) {
        backlog.push_back(write_register(0x0E00, i));
        place_record(100 + i, backlog.back());
    }
    world->write_file("/run/server.mode", "late 5\n");
    start();
    ASSERT_TRUE(wait_received(3, 5000ms));
    const Bytes behind = write_register(0x0D00, 4);
    EXPECT_EQ(ask(behind), with_crc(behind));
    backlog.push_back(behind);
    ASSERT_TRUE(wait_received(2 + backlog.size(), 15000ms));
    const auto all = received();
    EXPECT_EQ(std::vector<std::string>(all.begin() + 2, all.end()), hex_each(backlog));
}

TEST_F(CacheMode, RecordThatCannotBeSyncedIsNotKept)
{
    configure();
    start({"KORVANE_STANDIN_FSYNC=ENOSPC"});  // no server: the write must go to the stick

    const Bytes write = write_register(0x0600, 1);
    EXPECT_EQ(ask(write), with_crc(write));
    ASSERT_TRUE(world->wait_log("writing to cache record has failed"));
    EXPECT_TRUE(wait_until([&] { return records().empty(); }, 1000ms));

    // Held, not lost, and the retries are not logged again.
    start_server();
    ASSERT_TRUE(wait_received(1, 15000ms));
    EXPECT_EQ(received(), hex_each({write}));
    EXPECT_EQ(world->count_log("cache record"), 1u);

    // Only the sync after the renames fails (the stick pulled mid-batch):
    // the records may or may not be on the stick, so the messages stay in
    // the ring, the stick is let go, and a later mount never delivers those
    // numbers beside them.
    world->kill_daemon();
    stop_server();
    start({"KORVANE_STANDIN_FSYNC=EIO@3"});
    const Bytes cut = write_register(0x0600, 2);
    EXPECT_EQ(ask(cut), with_crc(cut));
    ASSERT_TRUE(world->wait_log("stick is gone (" + std::string(std::strerror(EIO)) + "), letting go of it"));
    ASSERT_TRUE(world->wait_log("stick is mounted, 0 records waiting", 8000ms));
    start_server();
    ASSERT_TRUE(wait_received(2, 15000ms));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(received(), hex_each({write, cut}));
}

TEST_F(CacheMode, OutageOfThirtySecondsDeliversEveryAcknowledgedWriteInOrder)
{
    configure(300);
    start_server();
    start();

    std::vector<std::string> acknowledged;
    const auto begin = std::chrono::steady_clock::now();
    bool stopped = false;
    bool restarted = false;
    for (std::uint16_t i = 0; i < 500; ++i) {
        const auto elapsed = std::chrono::steady_clock::now() - begin;
        if (!stopped && i == 100) {
            stop_server();
            stopped = true;
        }
        if (stopped && !restarted && elapsed > 35s) {
            start_server();
            restarted = true;
        }
        const Bytes request = write_register(0x0500, i);
        const Bytes answer = ask(request);
        if (answer == with_crc(request))
            acknowledged.push_back(hex(request));
        else
            ADD_FAILURE() << "write " << i << " answered " << hex(answer);
        // Spread the writes so that the outage lasts about 30 seconds.
        if (stopped && !restarted)
            std::this_thread::sleep_for(60ms);
    }
    if (!restarted)
        start_server();
    EXPECT_EQ(acknowledged.size(), 500u);
    if (!wait_until([&] { return received().size() >= acknowledged.size(); }, 60000ms)) {
        for (const auto& l : world->logs())
            std::printf("%s\n", l.raw.c_str());
        FAIL() << received().size() << " of " << acknowledged.size() << " delivered";
    }

    // A write the server executed but whose answer was lost to the outage
    // is sent again: it shows as a repeat right behind itself.
    const auto got = received();
    std::vector<std::string> unique;
    size_t repeats = 0;
    for (const auto& r : got) {
        if (!unique.empty() && unique.back() == r)
            ++repeats;
        else
            unique.push_back(r);
    }
    EXPECT_EQ(unique, acknowledged);
    EXPECT_LE(repeats, 2u);
    std::printf("outage: %zu writes acknowledged, %zu delivered, %zu repeated after a lost answer\n",
                acknowledged.size(), got.size(), repeats);
}

} // namespace
