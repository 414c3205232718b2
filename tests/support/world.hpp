// A private world for one test: a mount namespace (and by default a network
// namespace with its own loopback) in which korvane's fixed paths are the
// test's own, with a syslog socket at /dev/log that the test reads.
//
// Inside the world:
//   /opt            tmpfs; /opt/korvane/etc exists (the settings file goes there)
//   /run            tmpfs (/var/run and /var/lock point here on Debian);
//                   /run/lock (mode 1777) exists, /run/korvane exists unless
//                   WorldOptions::run_dir is false, /run/korvane/flash exists
//                   when WorldOptions::flash_dir is true
//   /dev            fresh tmpfs with null, zero, full, random, urandom, tty,
//                   a private devpts instance at /dev/pts, /dev/ptmx -> pts/ptmx,
//                   /dev/shm, /dev/fd links, and the test's syslog socket /dev/log
//
// The world is held by a keeper process that sleeps in the namespaces; every
// program the test starts in the world (the daemon, peers, a forked function)
// is a direct child of the test process that joined the keeper's namespaces,
// so the test can wait for it and read its exit status. Everything is ended
// by PID when the World is destroyed.
//
// Needs root: construct only after KT_REQUIRE_ROOT().
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#define KT_REQUIRE_ROOT()                                                              \
    do {                                                                               \
        if (!::kt::have_root())                                                        \
            GTEST_SKIP() << "needs root (mount and network namespaces, mknod)";        \
    } while (0)

// For cases that interpose the board stand-in on the daemon.
#define KT_REQUIRE_STANDIN()                                                           \
    do {                                                                               \
        if (!::kt::standin_reaches_daemon())                                           \
            GTEST_SKIP() << "the board stand-in cannot reach a static or emulated daemon"; \
    } while (0)

namespace kt {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

bool have_root();

// The built daemon and the board stand-in library (absolute paths, from the
// build; overridable with KORVANE_BIN and KORVANE_STANDIN in the environment).
std::string korvane_binary();
std::string standin_library();
// KORVANE_EMULATOR from the environment, split at spaces (e.g.
// "qemu-arm-static -cpu arm926"): the daemon is started through it, so that
// a build for another processor runs under user-mode emulation.
std::vector<std::string> daemon_emulator();
// Whether an LD_PRELOAD library reaches the daemon: it must be run directly
// and be linked dynamically (have a program interpreter).
bool standin_reaches_daemon();
// Directory of the test peers (tests/peers programs) in the build tree.
std::string peers_directory();

struct LogLine {
    int priority = -1;     // facility | level, e.g. 29 = LOG_DAEMON | LOG_NOTICE
    std::string ident;     // "korvane[123]"
    pid_t pid = -1;        // from the ident
    std::string message;   // text after "korvane[123]: "
    std::string raw;       // the whole datagram or stream record
    int level() const { return priority & 7; }
};

struct WorldOptions {
    bool private_network = true;  // new network namespace, lo up
    bool run_dir = true;          // /run/korvane exists
    bool flash_dir = false;       // /run/korvane/flash exists
    bool log_stream = false;      // /dev/log is a stream socket: NUL ends each line
    int log_queue = 65536;        // datagrams /dev/log holds unread (+1), not the kernel's 10
};

class World {
public:
    explicit World(WorldOptions options = {});
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // The host path of a path inside the world: /proc/<keeper>/root + inside.
    // Symbolic links among the leading components are followed as the world
    // sees them (/var/lock -> /run/lock reaches the world's /run/lock, not
    // the host's); the last component is left to the kernel, so a relative
    // link there (/dev/ttyUSB0 -> pts/3) works and lstat/unlink see the link.
    std::string path(std::string_view inside) const;

    void write_file(std::string_view inside, std::string_view content, mode_t mode = 0644);
    std::optional<std::string> read_file(std::string_view inside) const;
    bool exists(std::string_view inside) const;

    // Writes /opt/korvane/etc/settings as KEY="value" lines in the given order.
    void write_settings(const std::vector<std::pair<std::string, std::string>>& entries);
    // Writes the settings file verbatim.
    void write_settings_text(std::string_view text);

    // A new pty in the world's devpts; /dev/<name> becomes a symlink to its
    // slave (replacing an earlier link). Returns the master descriptor,
    // owned by the caller, opened O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC.
    int open_pty(std::string_view name);

    // Syslog: every datagram received so far, and waits with a deadline.
    std::vector<LogLine> logs();
    std::optional<LogLine> wait_log(std::string_view substring, Millis deadline = 5000ms);
    // Waits until `count` lines containing substring have arrived.
    bool wait_log_count(std::string_view substring, size_t count, Millis deadline = 5000ms);
    size_t count_log(std::string_view substring);

    // Starts the real korvane binary in the world (argv[0] "korvane" plus args),
    // with the given extra environment ("KEY=value"); LD_PRELOAD of the board
    // stand-in when standin is true. Returns the daemon's pid.
    pid_t start_daemon(const std::vector<std::string>& args = {},
                       const std::vector<std::string>& env = {}, bool standin = false);
    pid_t daemon_pid() const { return daemon_; }
    // The daemon's exit status (WEXITSTATUS) once it has exited, or nullopt
    // at the deadline; -(signal) when it was killed by a signal.
    std::optional<int> wait_daemon_exit(Millis deadline = 5000ms);
    // Sends sig to the daemon by PID and reaps it.
    void kill_daemon(int sig = SIGKILL);
    // Like start_daemon, but prepare(pid) runs in the test process after the
    // fork and before the child executes the daemon: the pid is already the
    // daemon's own (a lock file can name it, say).
    pid_t start_daemon_prepared(const std::function<void(pid_t)>& prepare,
                                const std::vector<std::string>& args = {},
                                const std::vector<std::string>& env = {}, bool standin = false);

    // Starts any program in the world (argv[0] is the path as seen from the
    // world's mount namespace, which shares the host's files outside the
    // paths above). stdout_fd, if given, receives a pipe of its stdout.
    pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                int* stdout_fd = nullptr);
    // Runs fn in a forked child inside the world; returns its pid at once.
    // The child exits with fn's result. Like a program after exec, the child
    // keeps only the descriptors that are not close-on-exec: a pty master or
    // pipe end that the test closes is then really closed.
    pid_t fork_inside(const std::function<int()>& fn);
    // Waits for a child started with spawn or fork_inside.
    std::optional<int> wait_exit(pid_t pid, Millis deadline = 5000ms);
    // SIGKILLs and reaps a child started with spawn or fork_inside.
    void end(pid_t pid);

    // The keeper process holding the namespaces.
    pid_t keeper_pid() const { return keeper_; }

    // Bind-mounts a file holding content over `inside` (an existing file of
    // the world, such as /etc/hosts or /etc/resolv.conf), for this world only.
    void override_file(std::string_view inside, std::string_view content);

    // A listening TCP socket on 127.0.0.1:port in the world's network
    // (port 0: any free port, see local_port). Owned by the caller,
    // close-on-exec and blocking. Blackholed: an accept queue of one, never
    // accepted and already full, so that further SYNs are dropped silently
    // and a connect hangs as to a dead host.
    int listen_tcp(uint16_t port = 0, bool blackholed = false);
    // A UDP socket bound at 127.0.0.1:53 of the world's network that nobody
    // reads: a name server that never answers. Owned by the caller.
    int silent_name_server();
    // Whether something listens on TCP port `port` of the world's network.
    bool listening(uint16_t port) const;

    // Whether pid holds a descriptor on the file at `inside` (the same device
    // and inode, so a pty slave of this world is told apart from the host's).
    bool holds_open(pid_t pid, std::string_view inside) const;
    bool wait_holds_open(pid_t pid, std::string_view inside, Millis deadline = 5000ms);

    // Number of syslog lines received so far; with wait_log_from, waits for a
    // line that arrives after a given point.
    size_t log_count();
    std::optional<LogLine> wait_log_from(size_t from, std::string_view substring,
                                         Millis deadline = 5000ms);

    // A log daemon that stops reading (queued lines stay unread until
    // resumed), and one that restarts: a new socket bound at /dev/log.
    void pause_log(bool paused);
    void restart_log();

    // TLS peers, certificates by openssl in /run/tls (NAME.pem, NAME.key; dates YYYYMMDDHHMMSSZ);
    // secure_settings makes "ca", "server" (127.0.0.1), "korvane", and settings lines using them.
    std::string secure_settings();
    bool make_authority(const std::string& name);
    bool make_certificate(const std::string& name, const std::string& authority, const std::string& alt_name,
                          const std::string& start = "", const std::string& end = "");
    pid_t tls_front(uint16_t port, uint16_t backend, const std::string& certificate,
                    const std::string& client_authority = "");

private:
    int socket_in_world(int type) const;
    bool open_log_socket();
    void stop_log_thread();
    void log_loop();
    pid_t fork_child(const std::function<void()>& in_child);
    void forget(pid_t pid);

    pid_t keeper_ = -1;
    pid_t daemon_ = -1;
    int log_fd_ = -1;
    std::vector<int> queued_;  // connections that fill blackholed listeners
    // The syslog socket is drained all the time by a thread of its own: a
    // daemon whose lines pile up unread blocks in syslog() after a few
    // hundred of them, which would change the very behaviour under test.
    int log_stop_ = -1;  // eventfd that wakes the log thread (to pause or end it)
    std::atomic<bool> log_paused_{false};
    std::atomic<bool> log_ending_{false};
    std::thread log_thread_;
    std::mutex log_mutex_;  // guards log_
    std::condition_variable log_arrived_;
    std::vector<LogLine> log_;
    std::vector<pid_t> children_;
    std::map<pid_t, int> exited_;  // reaped children and their statuses
    bool private_network_ = true;
    bool log_stream_ = false;
    int log_queue_ = 65536;
};

// Threads of a process (entries of /proc/<pid>/task); -1 when it is gone.
int thread_count(pid_t pid);

// The local port of a bound socket.
uint16_t local_port(int fd);

// Polls pred every few milliseconds until it holds or the deadline passes.
bool wait_until(const std::function<bool()>& pred, Millis deadline);

// Bytes on a pty master: reads what arrives until `count` bytes are there or
// the deadline passes.
std::vector<uint8_t> read_bytes(int fd, size_t count, Millis deadline);
// Reads until the line has been quiet for `quiet` after the first byte, or
// the deadline passes.
std::vector<uint8_t> read_until_quiet(int fd, Millis quiet, Millis deadline);
void write_bytes(int fd, const std::vector<uint8_t>& bytes);

// Frame helpers for tests.
std::vector<uint8_t> with_crc(std::vector<uint8_t> frame);
std::string hex(const std::vector<uint8_t>& bytes);  // "01 03 00 00"
// What the serial lock file holds for pid: "%10d\n", 11 bytes.
std::string lock_text(pid_t pid);

} // namespace kt
