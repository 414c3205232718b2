// Start-up of the real daemon in its private world: what it logs first, what
// it makes of a missing or unusual settings file, how each mode's store is
// prepared or refused, and the shape of the running process.
#include "world.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>

using namespace kt;

namespace {

constexpr const char* request_pipe = "/var/run/korvane/serial_tcp.fifo";
constexpr const char* response_pipe = "/var/run/korvane/tcp_serial.fifo";
constexpr const char* closed_port = "1502";  // nothing listens in a private network

constexpr int log_err = 27;
constexpr int log_notice = 29;

using Settings = std::vector<std::pair<std::string, std::string>>;

// Direct mode on a pty, with a server address that refuses connections.
Settings direct_settings(const std::string& device = "ttyUSB0")
{
    return {{"MOD_KORVANE_ENABLED", "1"},        {"MOD_KORVANE_DEVICE", device},
            {"MOD_KORVANE_BAUDRATE", "19200"},   {"MOD_KORVANE_DATABITS", "8"},
            {"MOD_KORVANE_PARITY", "E"},         {"MOD_KORVANE_STOPBITS", "1"},
            {"MOD_KORVANE_SPLIT", "20"},         {"MOD_KORVANE_ADDR", "127.0.0.1"},
            {"MOD_KORVANE_PORT", closed_port},   {"MOD_KORVANE_TIMEOUT", "500"},
            {"MOD_KORVANE_CACHE_MODE", "0"},     {"MOD_KORVANE_USE_SLAVE_ID", "0"},
            {"MOD_KORVANE_SLAVE_ID", "1"}};
}

bool is_fifo_with_mode(World& world, const char* inside, mode_t mode)
{
    struct stat status;
    if (stat(world.path(inside).c_str(), &status) != 0)
        return false;
    return S_ISFIFO(status.st_mode) && (status.st_mode & 07777) == mode;
}

mode_t mode_of(World& world, const char* inside)
{
    struct stat status;
    if (stat(world.path(inside).c_str(), &status) != 0)
        return static_cast<mode_t>(-1);
    return status.st_mode & 07777;
}

// The daemon is up when all three threads run (the serial side is set up
// before the network worker starts, so the port is open by then).
void expect_running(pid_t pid)
{
    EXPECT_TRUE(wait_until([&] { return thread_count(pid) == 3; }, 5000ms))
        << "threads: " << thread_count(pid);
}

std::vector<std::string> messages_of(World& world, pid_t pid)
{
    std::vector<std::string> messages;
    for (const LogLine& line : world.logs())
        if (line.pid == pid)
            messages.push_back(line.message);
    return messages;
}

} // namespace

// ---------------------------------------------------------------------------
// The first line and the process

TEST(Startup, LogsStartedAsNoticeUnderItsOwnPid)
{
    KT_REQUIRE_ROOT();
    World world;
    const int master = world.open_pty("ttyUSB0");
    world.write_settings(direct_settings());
    const pid_t pid = world.start_daemon();

    const auto started = world.wait_log("started");
    ASSERT_TRUE(started) << "no \"started\" line";
    EXPECT_EQ(started->priority, log_notice);
    EXPECT_EQ(started->ident, "korvane[" + std::to_string(pid) + "]");
    EXPECT_EQ(started->pid, pid);
    EXPECT_EQ(started->message, "started");
    // It is the daemon's first word.
    const auto all = world.logs();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front().message, "started");
    close(master);
}

TEST(Startup, LogsThroughAStreamSocket)
{
    KT_REQUIRE_ROOT();
    // A log daemon listening on a stream socket, where lines are told apart
    // only by the NUL after each. No run directory: three lines, then exit.
    WorldOptions options;
    options.log_stream = true;
    options.run_dir = false;
    World world(options);
    const int master = world.open_pty("ttyUSB0");
    world.write_settings(direct_settings());
    const pid_t pid = world.start_daemon();

    EXPECT_EQ(world.wait_daemon_exit(5000ms), 1);
    ASSERT_TRUE(world.wait_log("init fifos has failed, exiting...")) << "nothing came through";
    const auto all = world.logs();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].priority, log_notice);
    EXPECT_EQ(all[0].pid, pid);
    EXPECT_EQ(all[0].message, "started");
    EXPECT_EQ(all[1].message,
              "mkfifo /var/run/korvane/serial_tcp.fifo has failed (No such file or directory)");
    EXPECT_EQ(all[2].priority, log_err);
    EXPECT_EQ(all[2].message, "init fifos has failed, exiting...");
    close(master);
}

TEST(Startup, RunsWithExactlyThreeThreads)
{
    KT_REQUIRE_ROOT();
    World world;
    const int master = world.open_pty("ttyUSB0");
    world.write_settings(direct_settings());
    const pid_t pid = world.start_daemon();

    ASSERT_TRUE(wait_until([&] { return thread_count(pid) == 3; }, 5000ms))
        << "threads: " << thread_count(pid);
    // The server refuses: the network worker keeps trying without ever
    // adding or losing a thread.
    ASSERT_TRUE(world.wait_log("connect socket error: Connection refused"));
    EXPECT_FALSE(wait_until([&] { return thread_count(pid) != 3; }, 1000ms))
        << "threads: " << thread_count(pid);
    EXPECT_FALSE(world.wait_daemon_exit(10ms)) << "the daemon ended";
    close(master);
}

TEST(Startup, ArgumentsChangeNothing)
{
    KT_REQUIRE_ROOT();
    // The same settings, once without arguments and once with arguments
    // that other daemons would take for a settings file, a device or a
    // mode: the same lines, the same device, the same pipes.
    std::vector<std::vector<std::string>> seen;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{},
          std::vector<std::string>{"-c", "/tmp/other-settings", "--cache-mode=1", "-d",
                                   "ttyS9", "--help"}}) {
        World world;
        const int master = world.open_pty("ttyUSB0");
        world.write_settings(direct_settings());
        const pid_t pid = world.start_daemon(args);
        expect_running(pid);
        EXPECT_TRUE(world.wait_holds_open(pid, "/dev/ttyUSB0"));
        EXPECT_EQ(world.read_file("/var/lock/LCK..ttyUSB0"), lock_text(pid));
        EXPECT_FALSE(world.exists("/var/lock/LCK..ttyS9"));
        EXPECT_TRUE(is_fifo_with_mode(world, request_pipe, 0600));
        EXPECT_TRUE(is_fifo_with_mode(world, response_pipe, 0600));
        ASSERT_TRUE(world.wait_log("connect socket error: Connection refused"));
        seen.push_back(messages_of(world, pid));
        close(master);
    }
    EXPECT_EQ(seen[0], seen[1]);
}

// ---------------------------------------------------------------------------
// Without a settings file

TEST(Startup, WithoutSettingsFileStartsInDirectModeOnDevSlash)
{
    KT_REQUIRE_ROOT();
    World world;
    ASSERT_FALSE(world.exists("/opt/korvane/etc/settings"));
    const pid_t pid = world.start_daemon();

    // Every value is 0 or empty: direct mode, the pipes are made, and the
    // device is "/dev/" itself. Its lock is "LCK.." and the port, a
    // directory, never opens; the worker keeps trying every second.
    ASSERT_TRUE(world.wait_log("started"));
    expect_running(pid);
    EXPECT_TRUE(is_fifo_with_mode(world, request_pipe, 0600));
    EXPECT_TRUE(is_fifo_with_mode(world, response_pipe, 0600));
    EXPECT_EQ(world.read_file("/var/lock/LCK.."), lock_text(pid));

    const auto open_error = world.wait_log("open(/dev/) error: Is a directory");
    ASSERT_TRUE(open_error);
    EXPECT_EQ(open_error->priority, log_err);
    const auto port_failed = world.wait_log("openning port /dev/ failed");
    ASSERT_TRUE(port_failed);
    EXPECT_EQ(port_failed->priority, log_err);
    // An empty server address does not resolve.
    const auto resolve = world.wait_log("error resolving hostname ");
    ASSERT_TRUE(resolve);
    EXPECT_EQ(resolve->priority, 28);
    EXPECT_EQ(resolve->message, "error resolving hostname ");

    EXPECT_TRUE(world.wait_log_count("openning port /dev/ failed", 2, 4000ms))
        << "the port is not retried";
    EXPECT_FALSE(world.wait_daemon_exit(10ms)) << "the daemon ended";
    EXPECT_EQ(world.count_log("init "), 0u);
}

// ---------------------------------------------------------------------------
// A line that repeats without end

TEST(Startup, MissingAdapterIsLoggedTenTimesThenCountedWhenItIsBack)
{
    KT_REQUIRE_ROOT();
    KT_REQUIRE_STANDIN();
    // No /dev/ttyUSB0 for 30 s: two lines a second, each kind limited on its own.
    World world;
    const int listener = world.listen_tcp(1502);  // the server is there: nothing else is logged
    world.write_settings(direct_settings());
    world.write_file("/run/monotonic", "0\n");
    const pid_t pid = world.start_daemon({}, {"KORVANE_STANDIN_MONOTONIC=/run/monotonic"}, true);
    const std::string open_error = "open(/dev/ttyUSB0) error: No such file or directory";
    EXPECT_FALSE(wait_until([&] { return world.count_log("/dev/ttyUSB0") > 20; }, 30000ms));
    EXPECT_EQ(world.count_log(open_error), 10u);
    EXPECT_EQ(world.count_log("openning port /dev/ttyUSB0 failed"), 10u);
    // Plugged in; a minute on (the clock is moved) the idle main thread sums up both spells.
    const int master = world.open_pty("ttyUSB0");
    ASSERT_TRUE(world.wait_holds_open(pid, "/dev/ttyUSB0"));
    world.write_file("/run/monotonic", "61\n");
    const auto summed = world.wait_log("more \"open(%s) error: %s\" lines were left out", 12000ms);
    ASSERT_TRUE(summed);
    EXPECT_GE(std::stoi(summed->message), 18) << summed->message;
    EXPECT_TRUE(world.wait_log(std::to_string(std::stoi(summed->message)) +
                               " more \"openning port %s failed\" lines were left out"));
    // Unplugged again: a new spell, whose first line appears at once.
    close(master);
    EXPECT_TRUE(world.wait_log_count(open_error, 11));
    close(listener);
}

// ---------------------------------------------------------------------------
// Cache mode refused without a stick

TEST(Startup, CacheModeWithoutStickExitsBeforeMakingPipes)
{
    KT_REQUIRE_ROOT();
    for (const char* mode : {"1", "7", "4294967295"}) {
        SCOPED_TRACE(std::string("cache mode ") + mode);
        World world;
        const int master = world.open_pty("ttyUSB0");
        Settings settings = direct_settings();
        settings[10].second = mode;
        world.write_settings(settings);
        world.start_daemon();

        EXPECT_EQ(world.wait_daemon_exit(5000ms), 1);
        const auto mount_failed = world.wait_log("mount has failed (");
        ASSERT_TRUE(mount_failed);
        EXPECT_EQ(mount_failed->priority, log_notice);
        // The error of the second attempt (/dev/sda): this machine has no
        // such device and no vfat.
        const std::set<std::string> expected = {
            std::string("mount has failed (") + std::strerror(ENOENT) + ")",
            std::string("mount has failed (") + std::strerror(ENODEV) + ")",
            std::string("mount has failed (") + std::strerror(ENXIO) + ")",
            std::string("mount has failed (") + std::strerror(ENOTBLK) + ")"};
        EXPECT_TRUE(expected.count(mount_failed->message)) << mount_failed->message;
        const auto init = world.wait_log("init cache has failed, exiting...");
        ASSERT_TRUE(init);
        EXPECT_EQ(init->priority, log_err);

        const auto all = world.logs();
        ASSERT_EQ(all.size(), 3u);
        EXPECT_EQ(all[0].message, "started");
        EXPECT_EQ(all[1].message, mount_failed->message);
        EXPECT_EQ(all[2].message, "init cache has failed, exiting...");
        EXPECT_FALSE(world.exists(request_pipe));
        EXPECT_FALSE(world.exists(response_pipe));
        // Start-up stopped before the serial side.
        EXPECT_FALSE(world.exists("/var/lock/LCK..ttyUSB0"));
        close(master);
    }
}

TEST(Startup, CacheModeLogsTheSecondMountError)
{
    KT_REQUIRE_ROOT();
    KT_REQUIRE_STANDIN();
    World world;
    world.write_settings({{"MOD_KORVANE_CACHE_MODE", "1"}, {"MOD_KORVANE_DEVICE", "ttyUSB0"}});
    world.start_daemon({},
                       {"KORVANE_STANDIN_RECORD=/run/standin.log",
                        "KORVANE_STANDIN_MOUNT=/dev/sda1=ENOENT,/dev/sda=ENXIO"},
                       true);
    EXPECT_EQ(world.wait_daemon_exit(5000ms), 1);
    const auto mount_failed = world.wait_log("mount has failed (");
    ASSERT_TRUE(mount_failed);
    EXPECT_EQ(mount_failed->message, std::string("mount has failed (") + std::strerror(ENXIO) + ")");
    EXPECT_TRUE(world.wait_log("init cache has failed, exiting..."));
    EXPECT_EQ(world.read_file("/run/standin.log"),
              "mount /dev/sda1 /var/run/korvane/flash vfat\n"
              "mount /dev/sda /var/run/korvane/flash vfat\n");
    EXPECT_FALSE(world.exists(request_pipe));
}

// ---------------------------------------------------------------------------
// Direct mode's pipes

TEST(Startup, DirectModeWithoutRunDirectoryExits)
{
    KT_REQUIRE_ROOT();
    WorldOptions options;
    options.run_dir = false;
    World world(options);
    const int master = world.open_pty("ttyUSB0");
    world.write_settings(direct_settings());
    world.start_daemon();

    EXPECT_EQ(world.wait_daemon_exit(5000ms), 1);
    const auto mkfifo_failed = world.wait_log("mkfifo ");
    ASSERT_TRUE(mkfifo_failed);
    EXPECT_EQ(mkfifo_failed->priority, log_err);
    EXPECT_EQ(mkfifo_failed->message,
              "mkfifo /var/run/korvane/serial_tcp.fifo has failed (No such file or directory)");
    const auto init = world.wait_log("init fifos has failed, exiting...");
    ASSERT_TRUE(init);
    EXPECT_EQ(init->priority, log_err);
    const auto all = world.logs();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2].message, "init fifos has failed, exiting...");
    EXPECT_FALSE(world.exists("/var/lock/LCK..ttyUSB0"));
    close(master);
}

TEST(Startup, FreshPipesAreCreatedOwnerOnly)
{
    KT_REQUIRE_ROOT();
    World world;
    const int master = world.open_pty("ttyUSB0");
    world.write_settings(direct_settings());
    // Whatever umask it inherits.
    const mode_t saved = umask(0);
    const pid_t pid = world.start_daemon();
    umask(saved);
    expect_running(pid);
    EXPECT_TRUE(is_fifo_with_mode(world, request_pipe, 0600)) << std::oct
                                                              << mode_of(world, request_pipe);
    EXPECT_TRUE(is_fifo_with_mode(world, response_pipe, 0600)) << std::oct
                                                               << mode_of(world, response_pipe);
    EXPECT_EQ(world.count_log("mkfifo"), 0u);
    close(master);
}

TEST(Startup, PipesFromAnEarlierRunAreKeptAndClosedToOthers)
{
    KT_REQUIRE_ROOT();
    World world;
    const int master = world.open_pty("ttyUSB0");
    world.write_settings(direct_settings());
    ino_t inode[2] = {};
    const char* pipes[2] = {request_pipe, response_pipe};
    for (int i = 0; i < 2; ++i) {
        const std::string host = world.path(pipes[i]);
        ASSERT_EQ(mkfifo(host.c_str(), 0666), 0) << std::strerror(errno);
        ASSERT_EQ(chmod(host.c_str(), 0666), 0);
        struct stat status;
        ASSERT_EQ(stat(host.c_str(), &status), 0);
        inode[i] = status.st_ino;
    }
    // Something of the earlier run is still queued in the request pipe.
    const pid_t pid = world.start_daemon();
    expect_running(pid);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(pipes[i]);
        EXPECT_TRUE(is_fifo_with_mode(world, pipes[i], 0600)) << std::oct
                                                              << mode_of(world, pipes[i]);
        struct stat status;
        ASSERT_EQ(stat(world.path(pipes[i]).c_str(), &status), 0);
        EXPECT_EQ(status.st_ino, inode[i]) << "the pipe was made anew";
    }
    EXPECT_EQ(world.count_log("mkfifo"), 0u);
    EXPECT_EQ(world.count_log("init "), 0u);
    close(master);
}

// ---------------------------------------------------------------------------
// The settings file as the firmware may write it

TEST(StartupSettings, LowerCaseKeyAndQuotedNumberSelectCacheMode)
{
    KT_REQUIRE_ROOT();
    for (const char* text : {"mod_korvane_cache_mode=\"1\"\n", "Mod_Korvane_Cache_Mode=1\n",
                             "MOD_KORVANE_CACHE_MODE=\"-1\"\n", "MOD_KORVANE_CACHE_MODE=12abc\n",
                             "MOD_KORVANE_CACHE_MODE=\"2\" # stick fitted\n",
                             "MOD_KORVANE_CACHE_MODE=3\r\n"}) {
        SCOPED_TRACE(text);
        World world;
        world.write_settings_text(std::string("MOD_KORVANE_DEVICE=ttyUSB0\n") + text);
        world.start_daemon();
        EXPECT_EQ(world.wait_daemon_exit(5000ms), 1);
        EXPECT_TRUE(world.wait_log("init cache has failed, exiting...", 1000ms));
        EXPECT_FALSE(world.exists(request_pipe));
    }
}

TEST(StartupSettings, UnmatchedOrUnreadableCacheModeMeansDirectMode)
{
    KT_REQUIRE_ROOT();
    for (const char* text :
         {" MOD_KORVANE_CACHE_MODE=1\n", "MOD_KORVANE_CACHE_MODE =1\n", "MOD_KORVANE_CACHE_MODE=abc\n",
          "MOD_KORVANE_CACHE_MODE=0x10\n", "MOD_KORVANE_CACHE_MODE=\n",
          "MOD_KORVANE_CACHE_MODE=\"\"\n", "MOD_KORVANE_CACHE_MODE= \"1\"\n",
          "MOD_KORVANE_CACHE_MODE=0\nMOD_KORVANE_CACHE_MODE=1\n", "MOD_KORVANE_CACHE=1\n"}) {
        SCOPED_TRACE(text);
        World world;
        const int master = world.open_pty("ttyUSB0");
        world.write_settings_text(std::string("MOD_KORVANE_DEVICE=ttyUSB0\nMOD_KORVANE_SPLIT=20\n"
                                              "MOD_KORVANE_ADDR=127.0.0.1\nMOD_KORVANE_PORT=") +
                                  closed_port + "\n" + text);
        const pid_t pid = world.start_daemon();
        expect_running(pid);
        EXPECT_TRUE(is_fifo_with_mode(world, request_pipe, 0600));
        EXPECT_EQ(world.count_log("mount"), 0u);
        close(master);
    }
}

TEST(StartupSettings, DeviceNameIsReadThroughQuotesRemarksAndLineEnds)
{
    KT_REQUIRE_ROOT();
    for (const char* text : {"MOD_KORVANE_DEVICE=\"ttyUSB0\" # RS-485 adapter\n",
                             "MOD_KORVANE_DEVICE=ttyUSB0\r\n", "mod_korvane_device=ttyUSB0",
                             "MOD_KORVANE_DEVICE=ttyUSB0\nMOD_KORVANE_DEVICE=ttyUSB1\n",
                             "MOD_KORVANE_DEVICE=ttyUSB0\rMOD_KORVANE_DEVICE=ttyUSB1\n"}) {
        SCOPED_TRACE(text);
        World world;
        const int master = world.open_pty("ttyUSB0");
        const int other = world.open_pty("ttyUSB1");
        world.write_settings_text(std::string("MOD_KORVANE_ADDR=127.0.0.1\nMOD_KORVANE_PORT=") +
                                  closed_port + "\n" + text);
        const pid_t pid = world.start_daemon();
        expect_running(pid);
        EXPECT_TRUE(world.wait_holds_open(pid, "/dev/ttyUSB0"));
        EXPECT_FALSE(world.holds_open(pid, "/dev/ttyUSB1"));
        EXPECT_EQ(world.read_file("/var/lock/LCK..ttyUSB0"), lock_text(pid));
        EXPECT_FALSE(world.exists("/var/lock/LCK..ttyUSB1"));
        close(master);
        close(other);
    }
}

TEST(StartupSettings, LongDeviceNameIsCutToFifteenCharactersOfPath)
{
    KT_REQUIRE_ROOT();
    World world;
    // "/dev/" and the first ten characters of the name.
    const int master = world.open_pty("ttyUSB0123");
    world.write_settings(direct_settings("ttyUSB0123456"));
    const pid_t pid = world.start_daemon();
    expect_running(pid);
    EXPECT_TRUE(world.wait_holds_open(pid, "/dev/ttyUSB0123"));
    EXPECT_EQ(world.read_file("/var/lock/LCK..ttyUSB0123"), lock_text(pid));
    EXPECT_EQ(world.count_log("openning port"), 0u);
    close(master);
}

TEST(StartupSettings, QuotedServerAddressAndPortAreUsed)
{
    KT_REQUIRE_ROOT();
    World world;
    const int listener = world.listen_tcp(0);
    ASSERT_GE(listener, 0);
    const int master = world.open_pty("ttyUSB0");
    world.write_settings_text("MOD_KORVANE_DEVICE=\"ttyUSB0\"\n"
                              "MOD_KORVANE_ADDR=\"127.0.0.1\"\n"
                              "MOD_KORVANE_PORT=\"" +
                              std::to_string(local_port(listener)) + "\"\n");
    world.start_daemon();
    const auto connected = world.wait_log("Succesfully connected to ");
    ASSERT_TRUE(connected);
    EXPECT_EQ(connected->message, "Succesfully connected to 127.0.0.1");
    EXPECT_EQ(connected->priority, log_notice);
    close(listener);
    close(master);
}

TEST(StartupSettings, SlaveIdKeyIsNotTakenFromUseSlaveIdLine)
{
    KT_REQUIRE_ROOT();
    // The filter is on, and the only line with "SLAVE_ID" in its key is the
    // filter's switch: slave_id stays 0, so only unit 0 is served.
    World world;
    const int listener = world.listen_tcp(0);
    ASSERT_GE(listener, 0);
    const int master = world.open_pty("ttyUSB0");
    world.write_settings_text(std::string("MOD_KORVANE_DEVICE=ttyUSB0\nMOD_KORVANE_SPLIT=20\n"
                                          "MOD_KORVANE_ADDR=127.0.0.1\nMOD_KORVANE_PORT=") +
                              std::to_string(local_port(listener)) + "\nMOD_KORVANE_USE_SLAVE_ID=\"5\"\n");
    const pid_t pid = world.start_daemon();
    expect_running(pid);
    pollfd connecting{listener, POLLIN, 0};
    ASSERT_EQ(poll(&connecting, 1, 5000), 1);
    const int server = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    ASSERT_GE(server, 0);

    // A request the filter drops gets no answer and never reaches the
    // server; unit 0, a broadcast, is forwarded (the first exchange).
    write_bytes(master, with_crc({0x05, 0x03, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_TRUE(read_until_quiet(master, 300ms, 1000ms).empty());
    write_bytes(master, with_crc({0x00, 0x03, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(hex(read_bytes(server, 12, 5000ms)), "00 01 00 00 00 06 00 03 00 00 00 01");
    close(server);
    close(listener);
    close(master);
}

TEST(StartupSettings, ValuesNotUsedAsWrittenAreNamedOnceEachAtStart)
{
    KT_REQUIRE_ROOT();
    // One step past what is used as written, and two keys never read: a line each, between
    // "started" and the serial side's first. At the edge, a known key in lower case: not a word.
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"MOD_KORVANE_BAUDRATE=19201\nMOD_KORVANE_SPLIT=4\nMOD_KORVANE_TIMEOUT=60001\nMOD_KORVANE_USE_SLAVE_ID=1\n"
         "MOD_KORVANE_SLAVE_ID=248\nMOD_KORVANE_PORT=65536\nMOD_KORVANE_DEVICE=\"\"\nmod_korvane_timout=5\n"
         " MOD_KORVANE_PORT=502\n#MOD_KORVANE_X=1\n",
         {"<28>unknown setting \"mod_korvane_timout\" is ignored",
          "<28>unknown setting \" MOD_KORVANE_PORT\" is ignored",
          "<28>speed 19201 is not one the serial port can be set to, 9600 is used",
          "<28>split 4 ms is shorter than 3.5 characters at 9600 baud, requests may be cut",
          "<29>timeout 60001 ms is longer than any master waits, 60000 ms is used",
          "<27>slave id 248 is outside 1-247, no request will be answered",
          "<27>port 65536 is outside 1-65535, connections go to port 0", "<27>no serial device is set",
          "<27>no server address is set", "<27>open(/dev/) error: Is a directory"}},
        {"MOD_KORVANE_BAUDRATE=19200\nMOD_KORVANE_SPLIT=3\nMOD_KORVANE_TIMEOUT=60000\nMOD_KORVANE_USE_SLAVE_ID=1\n"
         "mod_korvane_slave_id=247\nMOD_KORVANE_PORT=65535\nMOD_KORVANE_DEVICE=ttyUSB0\nMOD_KORVANE_ADDR=127.0.0.1\n",
         {"<27>open(/dev/ttyUSB0) error: No such file or directory"}}};
    for (const auto& [text, expected] : cases) {
        World world;
        world.write_settings_text(text);
        expect_running(world.start_daemon());
        ASSERT_TRUE(world.wait_log(expected.back().substr(4)));
        std::vector<std::string> seen;
        for (const LogLine& line : world.logs())
            seen.push_back("<" + std::to_string(line.priority) + ">" + line.message);
        seen.resize(expected.size() + 1);
        EXPECT_EQ(std::vector<std::string>(seen.begin() + 1, seen.end()), expected);
    }
}

// Each unusable file has its line, and nothing connects (nor spins); a key
// others may read is a warning. The port defaults to 802.
TEST(StartupSettings, SecureLinkFilesThatCannotBeUsedAreNamedAndNothingConnects)
{
    KT_REQUIRE_ROOT();
    World world;
    ASSERT_TRUE(world.make_authority("ca") && world.make_certificate("korvane", "ca", "DNS:korvane.test") &&
                world.make_certificate("other", "ca", "DNS:other.test"));
    const int listener = world.listen_tcp(802);
    const std::string tls = "MOD_KORVANE_DEVICE=ttyUSB0\nMOD_KORVANE_ADDR=127.0.0.1\nMOD_KORVANE_TLS=1\n"
                            "MOD_KORVANE_TLS_CERT=/run/tls/korvane.pem\n";
    const std::vector<std::array<std::string, 3>> unusable = {
        {"MOD_KORVANE_TLS_CA=/run/tls/none.pem\nMOD_KORVANE_TLS_KEY=/run/tls/other.key\n",
         "TLS: certificate authority /run/tls/none.pem cannot be read (No such file or directory), no connection will be made",
         "TLS: the key in /run/tls/other.key does not match the certificate in /run/tls/korvane.pem, no connection will be made"},
        {"MOD_KORVANE_TLS_CA=/run/tls/ca.key\n", "TLS: /run/tls/ca.key holds no usable certificate, no connection will be made",
         "TLS: MOD_KORVANE_TLS_CERT and MOD_KORVANE_TLS_KEY are set only together, no connection will be made"}};
    for (const auto& [files, first, second] : unusable) {
        const int master = world.open_pty("ttyUSB0");
        world.write_settings_text(tls + files);
        const size_t mark = world.log_count();
        const pid_t pid = world.start_daemon();
        EXPECT_TRUE(world.wait_log_from(mark, first, 3000ms) && world.wait_log_from(mark, second, 3000ms)) << first;
        write_bytes(master, with_crc({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}));
        EXPECT_EQ(hex(read_bytes(master, 5, 3000ms)), hex(with_crc({0x01, 0x83, 0x0A})));
        const auto cpu_ns = [&] { long long ns = -1; std::ifstream("/proc/" + std::to_string(pid) + "/schedstat") >> ns; return ns; };
        const long long ran = cpu_ns();
        std::this_thread::sleep_for(1s);
        EXPECT_LT(cpu_ns() - ran, 200000000) << "ns of CPU in one second";
        world.kill_daemon();
        close(master);
    }
    pollfd connecting{listener, POLLIN, 0};
    EXPECT_EQ(poll(&connecting, 1, 0), 0) << "a connection was made";
    chmod(world.path("/run/tls/korvane.key").c_str(), 0644);
    world.write_settings_text(tls + "MOD_KORVANE_TLS_CA=/run/tls/ca.pem\nMOD_KORVANE_TLS_KEY=/run/tls/korvane.key\n");
    world.start_daemon();
    EXPECT_TRUE(world.wait_log("TLS: the key in /run/tls/korvane.key can be read by others (mode 0644)"));
    EXPECT_EQ(poll(&connecting, 1, 5000), 1) << "no connection to port 802";
    close(listener);
}
