// Delivery rate of cache mode: N records waiting on the stick when the
// daemon starts, delivered to a loopback server, against the rate of writes
// that go through the ring alone, measured in the same run.
//
//   cache_bench [N ...]      (default 100 1000 10000)
//
// Runs the real daemon in a private world (root), with the board stand-in
// reporting the stick as mounted over a tmpfs.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/world.hpp"

namespace {

using namespace kt;
using Clock = std::chrono::steady_clock;

// One less than the ring's 100 slots: the first write is in the worker's hands.
constexpr size_t ring_slots_to_fill = 99;

std::vector<std::uint8_t> write_register(std::uint16_t reg, std::uint16_t value)
{
    return {0x01, 0x06, static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

size_t count_lines(const std::string& path)
{
    std::ifstream in(path);
    size_t lines = 0;
    for (std::string line; std::getline(in, line);)
        ++lines;
    return lines;
}

void configure(World& world, const char* timeout_ms = "1000")
{
    world.write_settings({{"MOD_KORVANE_DEVICE", "ttyUSB0"},
                          {"MOD_KORVANE_SPLIT", "0"},
                          {"MOD_KORVANE_ADDR", "127.0.0.1"},
                          {"MOD_KORVANE_PORT", "1502"},
                          {"MOD_KORVANE_TIMEOUT", timeout_ms},
                          {"MOD_KORVANE_CACHE_MODE", "1"}});
}

pid_t start_server(World& world)
{
    return world.spawn({peers_directory() + "/modbus_server", "--listen", "127.0.0.1:1502", "--log",
                        "/run/server.log"});
}

// Seconds from the first to the last of `count` requests at the server.
double wait_for_deliveries(World& world, size_t count, Millis deadline)
{
    const std::string log = world.path("/run/server.log");
    Clock::time_point first{};
    const bool done = wait_until(
        [&] {
            const size_t lines = count_lines(log);
            if (lines > 0 && first == Clock::time_point{})
                first = Clock::now();
            return lines >= count;
        },
        deadline);
    if (!done)
        return -1;
    return std::chrono::duration<double>(Clock::now() - first).count();
}

// Records waiting at start, delivered as soon as the server answers.
double records_rate(size_t count)
{
    WorldOptions options;
    options.flash_dir = true;
    World world(options);
    configure(world);
    (void)world.open_pty("ttyUSB0");
    const std::string dir = world.path("/run/korvane/flash/cache");
    mkdir(dir.c_str(), 0755);
    for (size_t n = 1; n <= count; ++n) {
        char name[64];
        std::snprintf(name, sizeof name, "/%09zu.bin", n);
        const auto request = write_register(static_cast<std::uint16_t>(n), 1);
        std::ofstream(dir + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(request.data()), static_cast<std::streamsize>(request.size()));
    }
    const pid_t server = start_server(world);
    world.start_daemon({}, {"KORVANE_STANDIN_MOUNT=EBUSY"}, true);
    const double seconds = wait_for_deliveries(world, count, Millis(600000));
    world.end(server);
    return seconds > 0 ? count / seconds : 0;
}

// Writes delivered through the ring alone. The server holds its first answer
// for a second while the master fills the ring; from the moment it answers,
// the worker drains a full ring as fast as it can.
double ring_rate()
{
    constexpr size_t queued = ring_slots_to_fill;
    WorldOptions options;
    options.flash_dir = true;
    World world(options);
    // Long enough for the held answer.
    configure(world, "5000");
    const int line = world.open_pty("ttyUSB0");
    world.write_file("/run/server.mode", "late 1000\n");
    const pid_t server = world.spawn({peers_directory() + "/modbus_server", "--listen", "127.0.0.1:1502",
                                      "--log", "/run/server.log", "--control", "/run/server.mode"});
    world.start_daemon({}, {"KORVANE_STANDIN_MOUNT=EBUSY"}, true);
    world.wait_log("Succesfully connected to", 10000ms);

    const std::string log = world.path("/run/server.log");
    auto send = [&](std::uint16_t value) {
        write_bytes(line, with_crc(write_register(0x0100, value)));
        (void)read_bytes(line, 8, 2000ms);
    };
    send(0);
    if (!wait_until([&] { return count_lines(log) >= 1; }, 10000ms))
        return 0;
    const auto held_from = Clock::now();
    world.write_file("/run/server.mode", "normal\n");
    for (size_t i = 1; i <= queued; ++i)
        send(static_cast<std::uint16_t>(i));
    const auto released = held_from + std::chrono::milliseconds(1000);
    if (Clock::now() > released || !wait_until([&] { return count_lines(log) >= queued + 1; }, 60000ms))
        return 0;
    const double seconds = std::chrono::duration<double>(Clock::now() - released).count();
    world.end(server);
    return seconds > 0 ? queued / seconds : 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (!have_root()) {
        std::fprintf(stderr, "cache_bench needs root (namespaces)\n");
        return 1;
    }
    std::vector<size_t> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(static_cast<size_t>(std::strtoul(argv[i], nullptr, 10)));
    if (sizes.empty())
        sizes = {100, 1000, 10000};

    const double ring = ring_rate();
    std::printf("%-28s %12s %10s\n", "path", "records/s", "vs ring");
    std::printf("%-28s %12.0f %10.2f\n", "ring only (full ring)", ring, 1.0);
    for (size_t n : sizes) {
        const double rate = records_rate(n);
        char label[64];
        std::snprintf(label, sizeof label, "stick, %zu records", n);
        std::printf("%-28s %12.0f %10.2f\n", label, rate, ring > 0 ? rate / ring : 0);
    }
    return 0;
}
