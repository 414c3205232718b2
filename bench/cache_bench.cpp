// How the daemon spends an outage and what it costs, for two builds in the
// same run: the one under test (KORVANE_BIN, else the build's own) and a
// baseline (KORVANE_OLD_BIN). Each table has a column per build and their
// ratio.
//
//   cache_bench wakeups             idle: wake-ups/s and CPU, connected to a
//                                   server that sends nothing (direct and
//                                   cache mode), and in cache mode with the
//                                   server away and nothing stored
//   cache_bench outage [N ...]      the server away, N records waiting
//                                   (default 10000 30000): wake-ups/s, CPU
//   cache_bench drain [N ...]       records/s delivered from the stick, N
//                                   records waiting at start (default 1000
//                                   10000 30000), beside the ring alone
//   cache_bench startup [N]         exec to connected and to the first
//                                   delivery with N records waiting (30000)
//   cache_bench unreadable [S]      one record that never reads, the server
//                                   up: CPU, wake-ups, mounts and reads of
//                                   it over S seconds (60)
//   cache_bench memory [N ...]      Private_Dirty idle (direct mode, and
//                                   cache mode with an empty stick) and with
//                                   N records waiting (10000 30000), the
//                                   server away: bytes a record
//   cache_bench durable [N]         durable acknowledgement of one write
//                                   while N records (1500) drain to a server
//                                   that takes 1 ms an answer: the time to
//                                   the master's answer, and which answer
//   cache_bench drain-tls [N ...]   records/s from the stick over TLS
//                                   against plain TCP, the new build alone,
//                                   both through a socat relay in front of
//                                   the server (default 10000 records)
//
// Runs the real daemon in a private world (root), with the board stand-in
// reporting the stick as mounted over a tmpfs.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/world.hpp"

namespace {

using namespace kt;
using Clock = std::chrono::steady_clock;

// One less than the ring's 100 slots: the first write is in the worker's hands.
constexpr size_t ring_slots_to_fill = 99;
// How long wake-ups and CPU are counted.
constexpr auto sample_time = 10s;

double seconds_since(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// Polls more finely than wait_until: the start-up is timed by it.
bool poll_until(const std::function<bool()>& pred, Millis deadline)
{
    const auto end = Clock::now() + deadline;
    while (!pred()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::vector<std::uint8_t> write_register(std::uint16_t reg, std::uint16_t value)
{
    return {0x01, 0x06, static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

// Seconds of CLOCK_MONOTONIC, the clock of the server's stamps.
double monotonic_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The requests the server received, with the time each arrived (its
// --stamp): read on from where the last call stopped, so that the log of a
// long drain is not read again and again while it is measured.
class ServerLog {
public:
    explicit ServerLog(std::string path) : path_(std::move(path)) {}
    ServerLog(const ServerLog&) = delete;
    ~ServerLog()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    size_t operator()()
    {
        if (fd_ < 0)
            fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        char buffer[65536];
        ssize_t got = 0;
        while (fd_ >= 0 && (got = read(fd_, buffer, sizeof buffer)) > 0) {
            pending_.append(buffer, static_cast<size_t>(got));
            size_t from = 0;
            for (size_t end; (end = pending_.find('\n', from)) != std::string::npos; from = end + 1)
                stamps_.push_back(std::strtod(pending_.c_str() + from, nullptr) / 1e6);
            pending_.erase(0, from);
        }
        return stamps_.size();
    }
    // Deliveries per second from the first-th request to the last-th.
    double rate(size_t first, size_t last) const
    {
        const double seconds = last < stamps_.size() ? stamps_[last] - stamps_[first] : 0;
        return seconds > 0 ? static_cast<double>(last - first) / seconds : 0;
    }
    double stamp(size_t i) const { return stamps_.at(i); }

private:
    std::string path_;
    int fd_ = -1;
    std::string pending_;
    std::vector<double> stamps_;
};

// drain-tls: the server behind a relay, plain TCP (port 1504) or TLS
// (port 1802), the daemon's settings to match.
enum class Relay { none, plain, tls };
Relay relay = Relay::none;

void configure(World& world, bool cache_mode = true, const char* timeout_ms = "1000")
{
    const char* port = relay == Relay::none ? "1502" : relay == Relay::plain ? "1504" : "1802";
    std::vector<std::pair<std::string, std::string>> settings{{"MOD_KORVANE_DEVICE", "ttyUSB0"},
                                                             {"MOD_KORVANE_SPLIT", "0"},
                                                             {"MOD_KORVANE_ADDR", "127.0.0.1"},
                                                             {"MOD_KORVANE_PORT", port},
                                                             {"MOD_KORVANE_TIMEOUT", timeout_ms},
                                                             {"MOD_KORVANE_CACHE_MODE", cache_mode ? "1" : "0"}};
    if (relay == Relay::tls)
        settings.insert(settings.end(), {{"MOD_KORVANE_TLS", "1"}, {"MOD_KORVANE_TLS_CA", "/run/tls/ca.pem"}});
    world.write_settings(settings);
}

void start_relay(World& world)
{
    if (relay == Relay::plain) {
        (void)world.spawn({"socat", "TCP-LISTEN:1504,bind=127.0.0.1,reuseaddr,fork", "TCP:127.0.0.1:1502"});
        (void)wait_until([&] { return world.listening(1504); }, 5000ms);
    } else if (relay == Relay::tls && world.make_authority("ca") &&
               world.make_certificate("server", "ca", "IP:127.0.0.1")) {
        (void)world.tls_front(1802, 1502, "server");
    }
}

// A world with the daemon's settings, its line, a stick (cache mode) and
// `records` write requests waiting on it as record files.
struct Setup {
    World world;
    int line;
    explicit Setup(bool cache_mode, size_t records = 0, const char* timeout_ms = "1000")
        : world(WorldOptions{.flash_dir = cache_mode})
    {
        configure(world, cache_mode, timeout_ms);
        line = world.open_pty("ttyUSB0");
        if (!cache_mode)
            return;
        const std::string dir = world.path("/run/korvane/flash/cache");
        mkdir(dir.c_str(), 0755);
        for (size_t n = 1; n <= records; ++n) {
            char name[64];
            std::snprintf(name, sizeof name, "/%09zu.bin", n);
            const auto request = write_register(static_cast<std::uint16_t>(n), 1);
            std::ofstream(dir + name, std::ios::binary)
                .write(reinterpret_cast<const char*>(request.data()), static_cast<std::streamsize>(request.size()));
        }
    }
    ~Setup() { close(line); }
    pid_t server(const char* mode = nullptr)
    {
        std::vector<std::string> argv{peers_directory() + "/modbus_server", "--listen", "127.0.0.1:1502",
                                      "--log", "/run/server.log", "--stamp", "1"};
        if (mode != nullptr) {
            world.write_file("/run/server.mode", std::string(mode) + "\n");
            argv.insert(argv.end(), {"--control", "/run/server.mode"});
        }
        const pid_t pid = world.spawn(argv);
        (void)wait_until([&] { return world.listening(1502); }, 5000ms);
        start_relay(world);
        return pid;
    }
    // exec_time: when the daemon was let go to exec, monotonic seconds.
    pid_t daemon(bool cache_mode, double* exec_time = nullptr, std::vector<std::string> env = {})
    {
        env.push_back("KORVANE_STANDIN_MOUNT=EBUSY");
        return world.start_daemon_prepared(
            [&](pid_t) {
                if (exec_time != nullptr)
                    *exec_time = monotonic_seconds();
            },
            {}, cache_mode ? env : std::vector<std::string>{}, cache_mode);
    }
    ServerLog delivered() { return ServerLog(world.path("/run/server.log")); }
};

// ---- what a process costs: wake-ups and time on a CPU, every thread

struct Usage {
    double cpu_seconds = 0;
    long switches = 0;
};

long status_field(const std::string& status, const char* name)
{
    const size_t at = status.find(name);
    return at == std::string::npos ? 0 : std::strtol(status.c_str() + at + std::strlen(name) + 1, nullptr, 10);
}

// Voluntary and involuntary context switches: each is one wake-up of a
// thread (or one preemption, which costs as much). CPU time from schedstat
// (nanoseconds), else from stat (clock ticks).
Usage usage_of(pid_t pid)
{
    Usage usage;
    const std::string task = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(task.c_str());
    if (dir == nullptr)
        return usage;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string base = task + "/" + entry->d_name;
        std::ifstream status(base + "/status");
        const std::string text((std::istreambuf_iterator<char>(status)), std::istreambuf_iterator<char>());
        usage.switches += status_field(text, "\nvoluntary_ctxt_switches:") +
                          status_field(text, "\nnonvoluntary_ctxt_switches:");
        std::ifstream schedstat(base + "/schedstat");
        double ns = 0;
        if (schedstat >> ns) {
            usage.cpu_seconds += ns / 1e9;
            continue;
        }
        std::ifstream stat(base + "/stat");
        const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t close_paren = line.rfind(')');
        if (close_paren == std::string::npos)
            continue;
        // After the name: state is field 3; utime and stime are 14 and 15.
        const char* p = line.c_str() + close_paren + 2;
        char* end = nullptr;
        double ticks[2] = {};
        for (int field = 3; field <= 15; ++field) {
            const double value = std::strtod(p, &end);
            if (field >= 14)
                ticks[field - 14] = value;
            p = end;
        }
        usage.cpu_seconds += (ticks[0] + ticks[1]) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    closedir(dir);
    return usage;
}

struct Cost {
    double wakeups = -1;  // per second
    double cpu = -1;      // percent of one core
};

Cost measure(pid_t pid)
{
    const Usage before = usage_of(pid);
    const auto from = Clock::now();
    std::this_thread::sleep_for(sample_time);
    const Usage after = usage_of(pid);
    const double seconds = seconds_since(from);
    return {static_cast<double>(after.switches - before.switches) / seconds,
            100 * (after.cpu_seconds - before.cpu_seconds) / seconds};
}

// ---- the builds compared

struct Build {
    const char* label;
    std::string binary;
};
std::vector<Build> builds;

void use(const Build& build)
{
    setenv("KORVANE_BIN", build.binary.c_str(), 1);
}

void header(const char* what, const char* unit)
{
    std::printf("\n%-44s %10s %10s %8s  %s\n", what, "old", "new", "new/old", unit);
}

void row(const char* what, double old_value, double new_value, const char* goal)
{
    const double ratio = old_value > 0 ? new_value / old_value : 0;
    auto digits = [](double value) { return value < 1 ? 3 : value < 100 ? 2 : 0; };
    std::printf("%-44s %10.*f %10.*f %8.4f  %s\n", what, digits(old_value), old_value, digits(new_value),
                new_value, ratio, goal);
    std::fflush(stdout);
}

// ---- wake-ups and CPU

// Idle and connected to a server that sends nothing; or (server false) in
// cache mode with the server away.
Cost idle_cost(bool cache_mode, bool server, size_t records = 0)
{
    Setup setup(cache_mode, records);
    if (server)
        (void)setup.server();
    const pid_t daemon = setup.daemon(cache_mode);
    // Connected, or the first attempt refused; then a moment to settle.
    if (!setup.world.wait_log(server ? "Succesfully connected to" : "connect socket error", 30000ms))
        return {};
    std::this_thread::sleep_for(1s);
    return measure(daemon);
}

void wakeups()
{
    struct Case {
        const char* what;
        bool cache_mode;
        bool server;
    };
    const Case cases[] = {{"direct, connected, idle", false, true},
                          {"cache, connected, idle", true, true},
                          {"cache, server away, none stored", true, false}};
    Cost costs[3][2];
    for (size_t c = 0; c < 3; ++c)
        for (size_t b = 0; b < 2; ++b) {
            use(builds[b]);
            costs[c][b] = idle_cost(cases[c].cache_mode, cases[c].server);
        }
    header("idle", "goal");
    for (size_t c = 0; c < 3; ++c) {
        std::string what = std::string(cases[c].what) + ": wake-ups/s";
        row(what.c_str(), costs[c][0].wakeups, costs[c][1].wakeups, "<= 10/s");
        what = std::string(cases[c].what) + ": CPU %";
        row(what.c_str(), costs[c][0].cpu, costs[c][1].cpu, "");
    }
}

void outage(const std::vector<size_t>& sizes)
{
    header("server away, records waiting", "goal");
    for (size_t n : sizes) {
        Cost costs[2];
        for (size_t b = 0; b < 2; ++b) {
            use(builds[b]);
            costs[b] = idle_cost(true, false, n);
        }
        std::string what = std::to_string(n) + " records: CPU %";
        row(what.c_str(), costs[0].cpu, costs[1].cpu, "< 0.5 %");
        what = std::to_string(n) + " records: wake-ups/s";
        row(what.c_str(), costs[0].wakeups, costs[1].wakeups, "");
    }
}

// ---- delivery rates

// The median of up to three runs: a short run is repeated, as the other
// load of the machine can slow one of them, a long one (the old daemon with
// a large backlog) averages that out by itself.
double median_rate(const std::function<double()>& run)
{
    const auto from = Clock::now();
    std::vector<double> rates;
    while (rates.size() < 3 && (rates.empty() || seconds_since(from) < 20))
        rates.push_back(run());
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

// Records waiting at start, delivered as soon as the server answers:
// records/s from the first to the last at the server.
double records_rate(size_t count)
{
    Setup setup(true, count);
    (void)setup.server();
    ServerLog log = setup.delivered();
    setup.daemon(true);
    if (!wait_until([&] { return log() >= count; }, Millis(900000)))
        return 0;
    return log.rate(0, count - 1);
}

// Writes delivered through the ring alone. The server holds its first answer
// for a second while the master fills the ring; from the moment it answers,
// the worker drains a full ring as fast as it can.
double ring_rate()
{
    constexpr size_t queued = ring_slots_to_fill;
    // A time-out long enough for the held answer.
    Setup setup(true, 0, "5000");
    (void)setup.server("late 1000");
    setup.daemon(true);
    if (!setup.world.wait_log("Succesfully connected to", 10000ms))
        return 0;
    ServerLog log = setup.delivered();
    auto send = [&](std::uint16_t value) {
        write_bytes(setup.line, with_crc(write_register(0x0100, value)));
        (void)read_bytes(setup.line, 8, 2000ms);
    };
    send(0);
    if (!wait_until([&] { return log() >= 1; }, 10000ms))
        return 0;
    const auto held_from = Clock::now();
    setup.world.write_file("/run/server.mode", "normal\n");
    for (size_t i = 1; i <= queued; ++i)
        send(static_cast<std::uint16_t>(i));
    // The ring must be full before the held answer releases it.
    if (seconds_since(held_from) > 0.9 || !wait_until([&] { return log() >= queued + 1; }, 60000ms))
        return 0;
    // From the first write that waited in the ring to the last.
    return log.rate(1, queued);
}

void drain(const std::vector<size_t>& sizes)
{
    double ring[2];
    for (size_t b = 0; b < 2; ++b) {
        use(builds[b]);
        ring[b] = median_rate(ring_rate);
    }
    header("delivery, records/s", "new vs its ring; goal >= 800/s and >= 0.8 x ring");
    row("ring only (full ring)", ring[0], ring[1], "1.00");
    for (size_t n : sizes) {
        double rate[2];
        for (size_t b = 0; b < 2; ++b) {
            use(builds[b]);
            rate[b] = median_rate([n] { return records_rate(n); });
        }
        char what[64], versus[32];
        std::snprintf(what, sizeof what, "stick, %zu records", n);
        std::snprintf(versus, sizeof versus, "%.2f", ring[1] > 0 ? rate[1] / ring[1] : 0);
        row(what, rate[0], rate[1], versus);
    }
}

// ---- a record that never reads, and a durable write behind a backlog

void unreadable(int seconds)
{
    header(("one unreadable record, " + std::to_string(seconds) + " s").c_str(), "goal");
    double figures[2][4] = {};
    for (size_t b = 0; b < 2; ++b) {
        use(builds[b]);
        Setup setup(true, 1);
        (void)setup.server();
        const pid_t daemon = setup.daemon(true, nullptr, {"KORVANE_STANDIN_RECORD_READ=EIO",
                                                          "KORVANE_STANDIN_RECORD=/run/standin.log"});
        if (!setup.world.wait_log("Succesfully connected to", 10000ms))
            continue;
        const auto count = [&](const char* what) {
            std::istringstream text(setup.world.read_file("/run/standin.log").value_or(""));
            double n = 0;
            for (std::string l; std::getline(text, l);)
                n += l.rfind(what, 0) == 0 ? 1 : 0;
            return n;
        };
        const Usage before = usage_of(daemon);
        const double mounts = count("mount "), reads = count("record-open ");
        const auto from = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const Usage after = usage_of(daemon);
        const double elapsed = seconds_since(from);
        figures[b][0] = 100 * (after.cpu_seconds - before.cpu_seconds) / elapsed;
        figures[b][1] = static_cast<double>(after.switches - before.switches) / elapsed;
        figures[b][2] = count("mount ") - mounts;
        figures[b][3] = count("record-open ") - reads;
    }
    row("CPU %", figures[0][0], figures[1][0], "< 1 %");
    row("wake-ups/s", figures[0][1], figures[1][1], "");
    row("mounts", figures[0][2], figures[1][2], "<= 1 per 3 s");
    row("reads of the record", figures[0][3], figures[1][3], "pauses 1 s doubling to 60 s");
}

// Private_Dirty of the whole process, in KiB.
double private_dirty_kib(pid_t pid)
{
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string l; std::getline(rollup, l);)
        if (l.rfind("Private_Dirty:", 0) == 0)
            return std::strtod(l.c_str() + std::strlen("Private_Dirty:"), nullptr);
    return -1;
}

double memory_with(bool cache_mode, size_t records)
{
    Setup setup(cache_mode, records);
    const pid_t daemon = setup.daemon(cache_mode);
    if (!setup.world.wait_log("connect socket error", 30000ms))
        return -1;
    std::this_thread::sleep_for(1s);
    return private_dirty_kib(daemon);
}

void memory(const std::vector<size_t>& sizes)
{
    header("Private_Dirty, server away", "goal");
    double direct[2], idle[2];
    for (size_t b = 0; b < 2; ++b) {
        use(builds[b]);
        direct[b] = memory_with(false, 0);
        idle[b] = memory_with(true, 0);
    }
    row("direct mode, KiB", direct[0], direct[1], "");
    row("cache mode, empty stick, KiB", idle[0], idle[1], "");
    for (size_t n : sizes) {
        double kib[2];
        for (size_t b = 0; b < 2; ++b) {
            use(builds[b]);
            kib[b] = memory_with(true, n);
        }
        std::string what = std::to_string(n) + " records waiting, KiB";
        row(what.c_str(), kib[0], kib[1], "");
        what = std::to_string(n) + " records: bytes a record over direct";
        row(what.c_str(), (kib[0] - direct[0]) * 1024 / static_cast<double>(n),
            (kib[1] - direct[1]) * 1024 / static_cast<double>(n), "<= 4");
    }
}

void durable(size_t records)
{
    header(("durable write behind " + std::to_string(records) + " records").c_str(), "goal");
    double figures[2][2] = {};
    for (size_t b = 0; b < 2; ++b) {
        use(builds[b]);
        Setup setup(true, records);
        setup.world.write_file("/opt/korvane/etc/settings",
                               setup.world.read_file("/opt/korvane/etc/settings").value_or("") +
                                   "MOD_KORVANE_DURABLE=\"1\"\n");
        (void)setup.server("late 1");
        ServerLog log = setup.delivered();
        setup.daemon(true);
        if (!wait_until([&] { return log() >= 1; }, 10000ms))
            continue;
        const auto request = write_register(0x0200, 7);
        const auto from = Clock::now();
        write_bytes(setup.line, with_crc(request));
        // An exception is 5 bytes, the acknowledgement 8.
        auto answer = read_bytes(setup.line, 5, 5000ms);
        if (answer.size() == 5 && (answer[1] & 0x80) == 0) {
            const auto rest = read_bytes(setup.line, 3, 5000ms);
            answer.insert(answer.end(), rest.begin(), rest.end());
        }
        figures[b][0] = 1000 * seconds_since(from);
        figures[b][1] = answer == with_crc(request) ? 1 : 0;
    }
    row("time to the master's answer, ms", figures[0][0], figures[1][0], "within the 1000 ms time-out");
    row("acknowledged (1) or refused (0)", figures[0][1], figures[1][1], "1");
}

// The backlog over the secure link against plain TCP, the same relay shape.
void drain_tls(const std::vector<size_t>& sizes)
{
    use(builds[1]);
    std::printf("\n%-44s %10s %10s %8s  %s\n", "delivery from the stick, records/s", "plain", "TLS", "TLS/plain",
                "goal >= 0.8");
    for (size_t n : sizes) {
        double rate[2];
        for (int secure = 0; secure < 2; ++secure) {
            relay = secure != 0 ? Relay::tls : Relay::plain;
            rate[secure] = median_rate([n] { return records_rate(n); });
        }
        relay = Relay::none;
        char what[64];
        std::snprintf(what, sizeof what, "%zu records, through socat", n);
        std::printf("%-44s %10.0f %10.0f %8.2f\n", what, rate[0], rate[1], rate[0] > 0 ? rate[1] / rate[0] : 0);
    }
}

// ---- start-up

struct Startup {
    double connected = -1;  // ms from exec to the connection's log line
    double first = -1;      // ms from exec to the first record at the server
};

Startup startup_once(size_t records)
{
    Setup setup(true, records);
    (void)setup.server();
    ServerLog log = setup.delivered();
    double exec = 0;
    setup.daemon(true, &exec);
    Startup result;
    bool connected = false;
    if (!poll_until(
            [&] {
                if (!connected && setup.world.count_log("Succesfully connected to") > 0) {
                    connected = true;
                    result.connected = 1000 * (monotonic_seconds() - exec);
                }
                return log() > 0;
            },
            60000ms))
        return result;
    result.first = 1000 * (log.stamp(0) - exec);
    return result;
}

void startup(size_t records)
{
    constexpr int runs = 3;
    std::vector<Startup> samples[2];
    for (int run = 0; run < runs; ++run)
        for (size_t b = 0; b < 2; ++b) {
            use(builds[b]);
            samples[b].push_back(startup_once(records));
        }
    auto median = [](std::vector<Startup> s, double Startup::*field) {
        std::sort(s.begin(), s.end(), [&](const Startup& a, const Startup& b) { return a.*field < b.*field; });
        return s[s.size() / 2].*field;
    };
    char what[64];
    std::snprintf(what, sizeof what, "start-up, %zu records waiting, ms", records);
    header(what, "median of 3");
    row("exec to connected", median(samples[0], &Startup::connected),
        median(samples[1], &Startup::connected), "");
    row("exec to first delivery", median(samples[0], &Startup::first), median(samples[1], &Startup::first), "");
}

} // namespace

int main(int argc, char** argv)
{
    if (!have_root()) {
        std::fprintf(stderr, "cache_bench needs root (namespaces)\n");
        return 1;
    }
    const char* old_binary = std::getenv("KORVANE_OLD_BIN");
    if (argc < 2 || old_binary == nullptr || *old_binary == '\0') {
        std::fprintf(stderr, "usage: KORVANE_OLD_BIN=DAEMON cache_bench wakeups|outage|drain|drain-tls|startup [N ...]\n");
        return 2;
    }
    builds = {{"old", old_binary}, {"new", korvane_binary()}};
    const std::string what = argv[1];
    std::vector<size_t> sizes;
    for (int i = 2; i < argc; ++i)
        sizes.push_back(static_cast<size_t>(std::strtoul(argv[i], nullptr, 10)));
    for (const Build& build : builds)
        std::printf("%s: %s\n", build.label, build.binary.c_str());
    if (what == "wakeups")
        wakeups();
    else if (what == "outage")
        outage(sizes.empty() ? std::vector<size_t>{10000, 30000} : sizes);
    else if (what == "drain")
        drain(sizes.empty() ? std::vector<size_t>{1000, 10000, 30000} : sizes);
    else if (what == "drain-tls")
        drain_tls(sizes.empty() ? std::vector<size_t>{10000} : sizes);
    else if (what == "startup")
        startup(sizes.empty() ? 30000 : sizes[0]);
    else if (what == "unreadable")
        unreadable(sizes.empty() ? 60 : static_cast<int>(sizes[0]));
    else if (what == "memory")
        memory(sizes.empty() ? std::vector<size_t>{10000, 30000} : sizes);
    else if (what == "durable")
        durable(sizes.empty() ? 1500 : sizes[0]);
    else
        return 2;
    return 0;
}
