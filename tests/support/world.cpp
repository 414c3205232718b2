// The private world of one test: a keeper process sleeping in its own mount
// (and network) namespace, reached from the test through /proc/<keeper>/root
// and joined by every program the test starts there.
#include "world.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <link.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>

#ifndef KT_KORVANE_BIN
#define KT_KORVANE_BIN "korvane"
#endif
#ifndef KT_STANDIN_LIB
#define KT_STANDIN_LIB "libboard_standin.so"
#endif
#ifndef KT_PEERS_DIR
#define KT_PEERS_DIR "."
#endif

namespace kt {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void keeper_fail(int ready_fd, const char* step)
{
    char text[256];
    const int length = std::snprintf(text, sizeof text, "E%s: %s", step, std::strerror(errno));
    (void)!write(ready_fd, text, static_cast<size_t>(length));
    _exit(1);
}

void make_node(int ready_fd, const char* path, mode_t mode, unsigned major_number,
               unsigned minor_number)
{
    if (mknod(path, S_IFCHR | mode, makedev(major_number, minor_number)) != 0)
        keeper_fail(ready_fd, path);
    // mknod obeys the umask; the nodes need their usual modes.
    if (chmod(path, mode) != 0)
        keeper_fail(ready_fd, path);
}

void make_dir(int ready_fd, const char* path, mode_t mode)
{
    if (mkdir(path, mode) != 0 && errno != EEXIST)
        keeper_fail(ready_fd, path);
    if (chmod(path, mode) != 0)
        keeper_fail(ready_fd, path);
}

void make_link(int ready_fd, const char* target, const char* path)
{
    if (symlink(target, path) != 0)
        keeper_fail(ready_fd, path);
}

void bring_loopback_up(int ready_fd)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        keeper_fail(ready_fd, "socket for lo");
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFFLAGS, &request) != 0)
        keeper_fail(ready_fd, "SIOCGIFFLAGS lo");
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    if (ioctl(fd, SIOCSIFFLAGS, &request) != 0)
        keeper_fail(ready_fd, "SIOCSIFFLAGS lo");
    close(fd);
}

// Runs in the keeper: builds the world and reports on ready_fd.
[[noreturn]] void keeper_main(int ready_fd, const WorldOptions& options)
{
    int flags = CLONE_NEWNS;
    if (options.private_network)
        flags |= CLONE_NEWNET;
    if (unshare(flags) != 0)
        keeper_fail(ready_fd, "unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        keeper_fail(ready_fd, "mount --make-rprivate /");

    if (mount("tmpfs", "/opt", "tmpfs", MS_NOSUID, "mode=0755") != 0)
        keeper_fail(ready_fd, "mount /opt");
    make_dir(ready_fd, "/opt/korvane", 0755);
    make_dir(ready_fd, "/opt/korvane/etc", 0755);

    if (mount("tmpfs", "/run", "tmpfs", MS_NOSUID, "mode=0755") != 0)
        keeper_fail(ready_fd, "mount /run");
    make_dir(ready_fd, "/run/lock", 01777);
    if (options.run_dir) {
        make_dir(ready_fd, "/run/korvane", 0755);
        if (options.flash_dir)
            make_dir(ready_fd, "/run/korvane/flash", 0755);
    }

    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0)
        keeper_fail(ready_fd, "mount /dev");
    make_node(ready_fd, "/dev/null", 0666, 1, 3);
    make_node(ready_fd, "/dev/zero", 0666, 1, 5);
    make_node(ready_fd, "/dev/full", 0666, 1, 7);
    make_node(ready_fd, "/dev/random", 0666, 1, 8);
    make_node(ready_fd, "/dev/urandom", 0666, 1, 9);
    make_node(ready_fd, "/dev/tty", 0666, 5, 0);
    make_dir(ready_fd, "/dev/pts", 0755);
    if (mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
              "newinstance,ptmxmode=0666,mode=620,gid=5") != 0)
        keeper_fail(ready_fd, "mount /dev/pts");
    make_link(ready_fd, "pts/ptmx", "/dev/ptmx");
    make_dir(ready_fd, "/dev/shm", 01777);
    if (mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
        keeper_fail(ready_fd, "mount /dev/shm");
    make_link(ready_fd, "/proc/self/fd", "/dev/fd");
    make_link(ready_fd, "/proc/self/fd/0", "/dev/stdin");
    make_link(ready_fd, "/proc/self/fd/1", "/dev/stdout");
    make_link(ready_fd, "/proc/self/fd/2", "/dev/stderr");

    if (options.private_network)
        bring_loopback_up(ready_fd);

    (void)!write(ready_fd, "R", 1);
    close(ready_fd);
    for (;;)
        pause();
}

std::deque<std::string> split_path(std::string_view path)
{
    std::deque<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > start)
            parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

LogLine parse_log(std::string raw)
{
    LogLine line;
    line.raw = std::move(raw);
    const std::string& text = line.raw;
    size_t header = 0;
    if (!text.empty() && text[0] == '<') {
        const size_t close = text.find('>');
        if (close != std::string::npos) {
            line.priority = std::atoi(text.substr(1, close - 1).c_str());
            header = close + 1;
        }
    }
    // musl's syslog() ends each datagram with a newline, glibc's does not;
    // a syslog daemon drops it, and so does the test.
    const size_t end = !text.empty() && text.back() == '\n' ? text.size() - 1 : text.size();
    // The time stamp ("Dec  7 19:30:40") holds colons but never ": ".
    const size_t separator = text.find(": ", header);
    if (separator == std::string::npos || separator + 2 > end) {
        line.message = text.substr(header, end - std::min(header, end));
        return line;
    }
    const std::string head = text.substr(header, separator - header);
    const size_t blank = head.rfind(' ');
    line.ident = blank == std::string::npos ? head : head.substr(blank + 1);
    line.message = text.substr(separator + 2, end - separator - 2);
    const size_t open = line.ident.find('[');
    if (open != std::string::npos)
        line.pid = static_cast<pid_t>(std::atoi(line.ident.c_str() + open + 1));
    return line;
}

void set_death_signal()
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

// In a freshly forked child: closes what an exec would close.
void close_cloexec_descriptors()
{
    std::vector<int> doomed;
    if (DIR* dir = opendir("/proc/self/fd")) {
        const int own = dirfd(dir);
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            const int fd = std::atoi(entry->d_name);
            if (fd == own)
                continue;
            const int flags = fcntl(fd, F_GETFD);
            if (flags >= 0 && (flags & FD_CLOEXEC) != 0)
                doomed.push_back(fd);
        }
        closedir(dir);
    }
    for (int fd : doomed)
        close(fd);
}

std::vector<char*> c_strings(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (auto& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

Millis remaining(Clock::time_point end)
{
    const auto left = std::chrono::duration_cast<Millis>(end - Clock::now());
    return left.count() > 0 ? left : Millis(0);
}

} // namespace

bool have_root()
{
    return geteuid() == 0;
}

std::string korvane_binary()
{
    const char* value = std::getenv("KORVANE_BIN");
    return value != nullptr && *value != '\0' ? value : KT_KORVANE_BIN;
}

std::string standin_library()
{
    const char* value = std::getenv("KORVANE_STANDIN");
    return value != nullptr && *value != '\0' ? value : KT_STANDIN_LIB;
}

std::vector<std::string> daemon_emulator()
{
    std::vector<std::string> words;
    const char* value = std::getenv("KORVANE_EMULATOR");
    std::string_view rest = value != nullptr ? value : "";
    while (!rest.empty()) {
        const size_t end = std::min(rest.find(' '), rest.size());
        if (end > 0)
            words.emplace_back(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return words;
}

bool standin_reaches_daemon()
{
    if (!daemon_emulator().empty())
        return false;
    // The stand-in is built for this machine: the daemon must be an ELF file
    // of its class whose program headers (in the first page) name an
    // interpreter.
    unsigned char image[4096];
    const int fd = open(korvane_binary().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t got = read(fd, image, sizeof image);
    close(fd);
    ElfW(Ehdr) header;
    if (got < static_cast<ssize_t>(sizeof header))
        return false;
    std::memcpy(&header, image, sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32))
        return false;
    for (size_t i = 0; i < header.e_phnum; ++i) {
        ElfW(Phdr) program;
        const size_t at = header.e_phoff + i * sizeof program;
        if (at + sizeof program > static_cast<size_t>(got))
            return false;
        std::memcpy(&program, image + at, sizeof program);
        if (program.p_type == PT_INTERP)
            return true;
    }
    return false;
}

std::string peers_directory()
{
    const char* value = std::getenv("KORVANE_PEERS");
    return value != nullptr && *value != '\0' ? value : KT_PEERS_DIR;
}

World::World(WorldOptions options)
    : private_network_(options.private_network), log_stream_(options.log_stream), log_queue_(options.log_queue)
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    const pid_t parent = getpid();
    const pid_t keeper = fork();
    if (keeper < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        close(ready[0]);
        close(ready[1]);
        return;
    }
    if (keeper == 0) {
        set_death_signal();
        if (getppid() != parent)
            _exit(1);
        // The keeper must not hold anything of the test's (a pty master
        // would never hang up while a copy lives here).
        const int ready_fd = ready[1];
        for (int fd = 3; fd < 4096; ++fd)
            if (fd != ready_fd)
                close(fd);
        keeper_main(ready_fd, options);
    }
    keeper_ = keeper;
    close(ready[1]);

    pollfd wait_ready{ready[0], POLLIN, 0};
    char reply[512] = {};
    ssize_t got = -1;
    if (poll(&wait_ready, 1, 10000) == 1)
        got = read(ready[0], reply, sizeof reply - 1);
    close(ready[0]);
    if (got != 1 || reply[0] != 'R') {
        ADD_FAILURE() << "the world's keeper did not start: "
                      << (got > 1 ? std::string(reply + 1) : std::string("no answer"));
        kill(keeper_, SIGKILL);
        waitpid(keeper_, nullptr, 0);
        keeper_ = -1;
        return;
    }

    log_stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (log_stop_ < 0) {
        ADD_FAILURE() << "eventfd: " << std::strerror(errno);
        return;
    }
    if (open_log_socket())
        log_thread_ = std::thread([this] { log_loop(); });
}

bool World::open_log_socket()
{
    // The syslog socket is made in a network namespace of its own, so that
    // its queue can be long without touching the host's settings; a path
    // socket is reached through the file system from any namespace.
    const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    bool moved = false;
    if (home >= 0 && unshare(CLONE_NEWNET) == 0) {
        moved = true;
        if (FILE* queue = std::fopen("/proc/sys/net/unix/max_dgram_qlen", "w")) {
            std::fprintf(queue, "%d\n", log_queue_);
            std::fclose(queue);
        }
    }
    const int type = log_stream_ ? SOCK_STREAM : SOCK_DGRAM;
    log_fd_ = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (moved && setns(home, CLONE_NEWNET) != 0)
        ADD_FAILURE() << "cannot return to the test's network namespace: " << std::strerror(errno);
    if (home >= 0)
        close(home);
    if (log_fd_ < 0) {
        ADD_FAILURE() << "syslog socket: " << std::strerror(errno);
        return false;
    }
    const int buffer = 4 << 20;
    setsockopt(log_fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string log_path = path("/dev/log");
    if (log_path.size() >= sizeof address.sun_path) {
        ADD_FAILURE() << "syslog path too long: " << log_path;
        return false;
    }
    std::memcpy(address.sun_path, log_path.c_str(), log_path.size() + 1);
    unlink(log_path.c_str());
    if (bind(log_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "bind " << log_path << ": " << std::strerror(errno);
        return false;
    }
    chmod(log_path.c_str(), 0666);
    if (log_stream_ && listen(log_fd_, 16) != 0) {
        ADD_FAILURE() << "listen " << log_path << ": " << std::strerror(errno);
        return false;
    }
    return true;
}

World::~World()
{
    std::vector<pid_t> running = children_;
    for (pid_t pid : running)
        end(pid);
    if (keeper_ > 0) {
        kill(keeper_, SIGKILL);
        waitpid(keeper_, nullptr, 0);
    }
    stop_log_thread();
    for (int fd : queued_)
        if (fd >= 0)
            close(fd);
    if (log_stop_ >= 0)
        close(log_stop_);
    if (log_fd_ >= 0)
        close(log_fd_);
}

std::string World::path(std::string_view inside) const
{
    const std::string root = "/proc/" + std::to_string(keeper_) + "/root";
    std::deque<std::string> todo = split_path(inside);
    std::string resolved;  // in-world absolute path; empty is "/"
    int links = 0;
    while (!todo.empty()) {
        std::string part = std::move(todo.front());
        todo.pop_front();
        if (part == ".")
            continue;
        if (part == "..") {
            const size_t slash = resolved.rfind('/');
            resolved = slash == std::string::npos ? std::string() : resolved.substr(0, slash);
            continue;
        }
        std::string candidate = resolved + "/" + part;
        if (!todo.empty() && links < 40) {
            struct stat status;
            if (lstat((root + candidate).c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
                char target[4096];
                const ssize_t length =
                    readlink((root + candidate).c_str(), target, sizeof target - 1);
                if (length > 0) {
                    ++links;
                    target[length] = '\0';
                    if (target[0] == '/')
                        resolved.clear();
                    std::deque<std::string> more = split_path(target);
                    todo.insert(todo.begin(), more.begin(), more.end());
                    continue;
                }
            }
        }
        resolved = std::move(candidate);
    }
    return root + (resolved.empty() ? std::string("/") : resolved);
}

void World::write_file(std::string_view inside, std::string_view content, mode_t mode)
{
    // Missing parents are made, as mkdir -p would.
    const std::deque<std::string> parts = split_path(inside);
    std::string prefix;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        prefix += "/" + parts[i];
        const std::string host = path(prefix);
        struct stat status;
        if (stat(host.c_str(), &status) != 0)
            mkdir(host.c_str(), 0755);
    }
    const std::string host = path(inside);
    const int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        ADD_FAILURE() << "cannot create " << inside << ": " << std::strerror(errno);
        return;
    }
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t put = write(fd, content.data() + done, content.size() - done);
        if (put <= 0) {
            ADD_FAILURE() << "cannot write " << inside << ": " << std::strerror(errno);
            break;
        }
        done += static_cast<size_t>(put);
    }
    fchmod(fd, mode);
    close(fd);
}

std::optional<std::string> World::read_file(std::string_view inside) const
{
    const int fd = open(path(inside).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string content;
    char block[4096];
    for (;;) {
        const ssize_t got = read(fd, block, sizeof block);
        if (got <= 0)
            break;
        content.append(block, static_cast<size_t>(got));
    }
    close(fd);
    return content;
}

bool World::exists(std::string_view inside) const
{
    struct stat status;
    return stat(path(inside).c_str(), &status) == 0;
}

void World::write_settings(const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::string text;
    for (const auto& [key, value] : entries)
        text += key + "=\"" + value + "\"\n";
    write_settings_text(text);
}

void World::write_settings_text(std::string_view text)
{
    write_file("/opt/korvane/etc/settings", text, 0644);
}

int World::open_pty(std::string_view name)
{
    const int master = open(path("/dev/ptmx").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        ADD_FAILURE() << "cannot open the world's ptmx: " << std::strerror(errno);
        return -1;
    }
    int unlock = 0;
    unsigned number = 0;
    if (ioctl(master, TIOCSPTLCK, &unlock) != 0 || ioctl(master, TIOCGPTN, &number) != 0) {
        ADD_FAILURE() << "cannot prepare the pty: " << std::strerror(errno);
        close(master);
        return -1;
    }
    // Settings made through the master apply to the slave: raw from the
    // start, so that bytes written before the daemon sets the line up are
    // neither echoed nor held for a newline.
    termios attributes{};
    if (tcgetattr(master, &attributes) == 0) {
        cfmakeraw(&attributes);
        tcsetattr(master, TCSANOW, &attributes);
    }
    const std::string link = path("/dev/" + std::string(name));
    unlink(link.c_str());
    const std::string target = "pts/" + std::to_string(number);
    if (symlink(target.c_str(), link.c_str()) != 0) {
        ADD_FAILURE() << "cannot link /dev/" << name << ": " << std::strerror(errno);
        close(master);
        return -1;
    }
    return master;
}

void World::stop_log_thread()
{
    if (!log_thread_.joinable())
        return;
    log_ending_ = true;
    const uint64_t one = 1;
    (void)!write(log_stop_, &one, sizeof one);
    log_thread_.join();
    log_ending_ = false;
}

void World::pause_log(bool paused)
{
    log_paused_ = paused;
    const uint64_t one = 1;
    (void)!write(log_stop_, &one, sizeof one);
}

void World::restart_log()
{
    stop_log_thread();
    if (log_fd_ >= 0)
        close(log_fd_);
    log_fd_ = -1;
    log_paused_ = false;
    if (open_log_socket())
        log_thread_ = std::thread([this] { log_loop(); });
}

namespace {

// Reads what a stream connection holds, one line per NUL-ended record;
// `pending` keeps a record's front until its NUL arrives. False once the
// writer has closed: a record it left without its NUL is no line.
bool read_records(int fd, std::string& pending, std::vector<char>& buffer,
                  std::vector<LogLine>& arrived)
{
    for (;;) {
        const ssize_t got = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got <= 0)
            return got < 0 && errno == EAGAIN;
        pending.append(buffer.data(), static_cast<size_t>(got));
        size_t end = 0;
        while ((end = pending.find('\0')) != std::string::npos) {
            arrived.push_back(parse_log(pending.substr(0, end)));
            pending.erase(0, end + 1);
        }
    }
}

} // namespace

void World::log_loop()
{
    std::vector<char> datagram(1 << 16);
    // A stream log's connections, each with the record it is in the middle
    // of. A paused log leaves them out: one the daemon closed would wake
    // poll at once, over and over.
    std::vector<std::pair<int, std::string>> streams;
    for (;;) {
        std::vector<pollfd> wait = {{log_fd_, static_cast<short>(log_paused_ ? 0 : POLLIN), 0},
                                    {log_stop_, POLLIN, 0}};
        for (size_t i = 0; i < streams.size() && !log_paused_; ++i)
            wait.push_back({streams[i].first, POLLIN, 0});
        if (poll(wait.data(), wait.size(), -1) < 0 && errno != EINTR)
            break;
        if ((wait[1].revents & POLLIN) != 0) {
            uint64_t pokes = 0;
            (void)!read(log_stop_, &pokes, sizeof pokes);
            if (log_ending_)
                break;
            continue;
        }
        std::vector<LogLine> arrived;
        for (size_t i = 0; i + 2 < wait.size(); ++i)
            if (wait[i + 2].revents != 0 &&
                !read_records(streams[i].first, streams[i].second, datagram, arrived)) {
                close(streams[i].first);
                streams[i].first = -1;
            }
        std::erase_if(streams, [](const auto& stream) { return stream.first < 0; });
        while (log_stream_) {
            const int fd = accept4(log_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0)
                break;
            streams.emplace_back(fd, std::string());
        }
        while (!log_stream_) {
            const ssize_t got = recv(log_fd_, datagram.data(), datagram.size(), MSG_DONTWAIT);
            if (got < 0)
                break;
            arrived.push_back(parse_log(std::string(datagram.data(), static_cast<size_t>(got))));
        }
        if (arrived.empty())
            continue;
        {
            std::lock_guard<std::mutex> lock(log_mutex_);
            for (LogLine& line : arrived)
                log_.push_back(std::move(line));
        }
        log_arrived_.notify_all();
    }
    for (const auto& stream : streams)
        close(stream.first);
}

std::vector<LogLine> World::logs()
{
    std::lock_guard<std::mutex> lock(log_mutex_);
    return log_;
}

size_t World::log_count()
{
    std::lock_guard<std::mutex> lock(log_mutex_);
    return log_.size();
}

std::optional<LogLine> World::wait_log_from(size_t from, std::string_view substring,
                                            Millis deadline)
{
    const auto end = Clock::now() + deadline;
    std::unique_lock<std::mutex> lock(log_mutex_);
    size_t checked = from;
    for (;;) {
        for (; checked < log_.size(); ++checked)
            if (log_[checked].raw.find(substring) != std::string::npos)
                return log_[checked];
        if (log_arrived_.wait_until(lock, end) == std::cv_status::timeout) {
            for (; checked < log_.size(); ++checked)
                if (log_[checked].raw.find(substring) != std::string::npos)
                    return log_[checked];
            return std::nullopt;
        }
    }
}

std::optional<LogLine> World::wait_log(std::string_view substring, Millis deadline)
{
    return wait_log_from(0, substring, deadline);
}

namespace {

size_t count_in(const std::vector<LogLine>& lines, std::string_view substring)
{
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& line) {
        return line.raw.find(substring) != std::string::npos;
    }));
}

} // namespace

size_t World::count_log(std::string_view substring)
{
    std::lock_guard<std::mutex> lock(log_mutex_);
    return count_in(log_, substring);
}

bool World::wait_log_count(std::string_view substring, size_t count, Millis deadline)
{
    const auto end = Clock::now() + deadline;
    std::unique_lock<std::mutex> lock(log_mutex_);
    for (;;) {
        if (count_in(log_, substring) >= count)
            return true;
        if (log_arrived_.wait_until(lock, end) == std::cv_status::timeout)
            return count_in(log_, substring) >= count;
    }
}

pid_t World::fork_child(const std::function<void()>& in_child)
{
    if (keeper_ <= 0) {
        ADD_FAILURE() << "the world is not running";
        return -1;
    }
    const std::string keeper = std::to_string(keeper_);
    const std::string mount_ns = "/proc/" + keeper + "/ns/mnt";
    const std::string net_ns = "/proc/" + keeper + "/ns/net";
    const pid_t parent = getpid();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return -1;
    }
    if (pid == 0) {
        set_death_signal();
        if (getppid() != parent)
            _exit(126);
        const int net = private_network_ ? open(net_ns.c_str(), O_RDONLY | O_CLOEXEC) : -1;
        const int mnt = open(mount_ns.c_str(), O_RDONLY | O_CLOEXEC);
        if (mnt < 0 || (private_network_ && net < 0)) {
            std::perror("kt: open namespace");
            _exit(126);
        }
        if (net >= 0 && setns(net, CLONE_NEWNET) != 0) {
            std::perror("kt: setns net");
            _exit(126);
        }
        if (setns(mnt, CLONE_NEWNS) != 0) {
            std::perror("kt: setns mnt");
            _exit(126);
        }
        if (chdir("/") != 0)
            _exit(126);
        in_child();
        _exit(126);
    }
    children_.push_back(pid);
    return pid;
}

namespace {

std::vector<std::string> daemon_environment(const std::vector<std::string>& env, bool standin)
{
    std::vector<std::string> environment = env;
    if (standin)
        environment.push_back("LD_PRELOAD=" + standin_library());
    // A sanitizer build's daemon reports where the test's own reports go.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            environment.push_back(std::string(name) + "=" + value);
    return environment;
}

} // namespace

pid_t World::start_daemon(const std::vector<std::string>& args, const std::vector<std::string>& env,
                          bool standin)
{
    return start_daemon_prepared([](pid_t) {}, args, env, standin);
}

pid_t World::start_daemon_prepared(const std::function<void(pid_t)>& prepare,
                                   const std::vector<std::string>& args,
                                   const std::vector<std::string>& env, bool standin)
{
    const std::string binary = korvane_binary();
    std::vector<std::string> argv = daemon_emulator();
    const bool emulated = !argv.empty();
    // An emulator takes the binary's path where the daemon takes its name.
    argv.push_back(emulated ? binary : "korvane");
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string program = emulated ? argv[0] : binary;
    std::vector<std::string> environment = daemon_environment(env, standin);

    int go[2];
    if (pipe2(go, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return -1;
    }
    const pid_t pid = fork_child([&] {
        close(go[1]);
        char byte = 0;
        if (read(go[0], &byte, 1) != 1)
            _exit(126);
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0 && null != 0) {
            dup2(null, 0);
            close(null);
        }
        std::vector<char*> arguments = c_strings(argv);
        std::vector<char*> variables = c_strings(environment);
        execvpe(program.c_str(), arguments.data(), variables.data());
        std::perror("kt: exec korvane");
        _exit(127);
    });
    close(go[0]);
    if (pid > 0) {
        daemon_ = pid;
        prepare(pid);
        (void)!write(go[1], "x", 1);
    }
    close(go[1]);
    return pid;
}

std::optional<int> World::wait_daemon_exit(Millis deadline)
{
    return wait_exit(daemon_, deadline);
}

void World::kill_daemon(int sig)
{
    if (daemon_ <= 0)
        return;
    if (exited_.count(daemon_) == 0) {
        kill(daemon_, sig);
        if (!wait_exit(daemon_, 5000ms))
            end(daemon_);
    }
}

pid_t World::spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   int* stdout_fd)
{
    if (argv.empty()) {
        ADD_FAILURE() << "spawn without a program";
        return -1;
    }
    std::vector<std::string> arguments = argv;
    std::vector<std::string> environment = env;
    const bool has_path = std::any_of(environment.begin(), environment.end(),
                                      [](const std::string& e) { return e.rfind("PATH=", 0) == 0; });
    if (!has_path)
        environment.push_back("PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
    int out[2] = {-1, -1};
    if (stdout_fd != nullptr && pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return -1;
    }
    const pid_t pid = fork_child([&] {
        if (out[1] >= 0)
            dup2(out[1], 1);  // dup2 clears close-on-exec on the copy
        std::vector<char*> args = c_strings(arguments);
        std::vector<char*> variables = c_strings(environment);
        execvpe(args[0], args.data(), variables.data());
        std::perror("kt: execvpe");
        _exit(127);
    });
    if (out[1] >= 0)
        close(out[1]);
    if (stdout_fd != nullptr)
        *stdout_fd = pid > 0 ? out[0] : -1;
    if (pid <= 0 && out[0] >= 0)
        close(out[0]);
    return pid;
}

pid_t World::fork_inside(const std::function<int()>& fn)
{
    return fork_child([&] {
        close_cloexec_descriptors();
        const int result = fn();
        _exit(result);
    });
}

void World::forget(pid_t pid)
{
    children_.erase(std::remove(children_.begin(), children_.end(), pid), children_.end());
}

std::optional<int> World::wait_exit(pid_t pid, Millis deadline)
{
    if (pid <= 0)
        return std::nullopt;
    const auto end = Clock::now() + deadline;
    for (;;) {
        if (auto done = exited_.find(pid); done != exited_.end())
            return done->second;
        int status = 0;
        const pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid) {
            const int result = WIFEXITED(status) ? WEXITSTATUS(status)
                               : WIFSIGNALED(status) ? -WTERMSIG(status)
                                                     : -1;
            exited_[pid] = result;
            forget(pid);
            return result;
        }
        if (got < 0)
            return std::nullopt;
        if (remaining(end).count() == 0)
            return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
}

void World::end(pid_t pid)
{
    if (pid <= 0 || exited_.count(pid) != 0)
        return;
    kill(pid, SIGKILL);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid)
        exited_[pid] = WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
    forget(pid);
}

void World::override_file(std::string_view inside, std::string_view content)
{
    static int serial = 0;
    const std::string source = "/run/kt-override-" + std::to_string(++serial);
    write_file(source, content, 0644);
    const std::string target(inside);
    const pid_t pid = fork_inside([&]() -> int {
        return mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0 ? 0 : errno;
    });
    const std::optional<int> result = wait_exit(pid, 5000ms);
    if (result != 0)
        ADD_FAILURE() << "cannot bind a file over " << inside << " (status "
                      << (result ? *result : -1) << ")";
}

// A socket of the given type made in the world's network namespace.
int World::socket_in_world(int type) const
{
    const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int world = open(("/proc/" + std::to_string(keeper_) + "/ns/net").c_str(),
                           O_RDONLY | O_CLOEXEC);
    if (home < 0 || world < 0 || setns(world, CLONE_NEWNET) != 0) {
        ADD_FAILURE() << "cannot enter the world's network: " << std::strerror(errno);
        if (home >= 0)
            close(home);
        if (world >= 0)
            close(world);
        return -1;
    }
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (setns(home, CLONE_NEWNET) != 0)
        ADD_FAILURE() << "cannot return to the test's network namespace: " << std::strerror(errno);
    close(home);
    close(world);
    if (fd < 0)
        ADD_FAILURE() << "socket: " << std::strerror(errno);
    return fd;
}

int World::silent_name_server()
{
    const int fd = socket_in_world(SOCK_DGRAM);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot bind 127.0.0.1:53: " << std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

int World::listen_tcp(uint16_t port, bool blackholed)
{
    const int fd = socket_in_world(SOCK_STREAM);
    const int queued = blackholed ? socket_in_world(SOCK_STREAM) : -1;
    if (fd < 0)
        return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, blackholed ? 0 : 16) != 0) {
        ADD_FAILURE() << "cannot listen on 127.0.0.1:" << port << ": " << std::strerror(errno);
        close(fd);
        return -1;
    }
    if (blackholed) {
        address.sin_port = htons(local_port(fd));
        if (queued < 0 || connect(queued, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            ADD_FAILURE() << "cannot fill the accept queue: " << std::strerror(errno);
        queued_.push_back(queued);
    }
    return fd;
}

bool World::holds_open(pid_t pid, std::string_view inside) const
{
    struct stat wanted;
    if (stat(path(inside).c_str(), &wanted) != 0)
        return false;
    const std::string directory = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr)
        return false;
    bool found = false;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        struct stat held;
        if (stat((directory + "/" + entry->d_name).c_str(), &held) == 0 &&
            held.st_dev == wanted.st_dev && held.st_ino == wanted.st_ino) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

bool World::wait_holds_open(pid_t pid, std::string_view inside, Millis deadline)
{
    return wait_until([&] { return holds_open(pid, inside); }, deadline);
}

bool World::listening(uint16_t port) const
{
    // The keeper lives in the world's network namespace.
    std::FILE* file = std::fopen(("/proc/" + std::to_string(keeper_) + "/net/tcp").c_str(), "r");
    if (file == nullptr)
        return false;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, ":%04X 00000000:0000 0A", port);
    bool found = false;
    for (char row[256]; !found && std::fgets(row, sizeof row, file) != nullptr;)
        found = std::strstr(row, wanted) != nullptr;
    std::fclose(file);
    return found;
}

bool World::make_authority(const std::string& name)
{
    const std::string key = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=";
    return wait_exit(spawn({"/bin/sh", "-c", "mkdir -p /run/tls && cd /run/tls && " + key + name + " -keyout " + name +
                                                 ".key -out " + name + ".pem 2>/dev/null"}), 20000ms) == 0;
}

// `openssl ca` can sign with dates in the future, `openssl x509 -req` cannot.
bool World::make_certificate(const std::string& name, const std::string& authority, const std::string& alt_name,
                             const std::string& start, const std::string& end)
{
    const std::string config = "[ca]\\ndefault_ca=d\\n[d]\\ndatabase=index.txt\\nnew_certs_dir=.\\nserial=serial\\n"
                               "default_md=sha256\\npolicy=p\\ncopy_extensions=copy\\nunique_subject=no\\n[p]\\ncommonName=supplied\\n";
    const std::string request = "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=" + name +
                                " -addext subjectAltName=" + alt_name + " -keyout " + name + ".key -out " + name + ".csr";
    const std::string sign = "openssl ca -batch -notext -rand_serial -config sign.cnf -cert " + authority + ".pem -keyfile " +
                             authority + ".key -in " + name + ".csr -out " + name + ".pem" +
                             (start.empty() ? " -days 30" : " -startdate " + start + " -enddate " + end);
    return wait_exit(spawn({"/bin/sh", "-c", "cd /run/tls && printf '" + config + "' > sign.cnf && touch index.txt && " +
                                                 request + " 2>/dev/null && " + sign + " 2>/dev/null"}), 20000ms) == 0;
}

std::string World::secure_settings()
{
    EXPECT_TRUE(make_authority("ca") && make_certificate("server", "ca", "IP:127.0.0.1") &&
                make_certificate("korvane", "ca", "DNS:korvane.test"));
    return "MOD_KORVANE_PORT=\"\"\nMOD_KORVANE_TLS=1\nMOD_KORVANE_TLS_CA=/run/tls/ca.pem\n"
           "MOD_KORVANE_TLS_CERT=/run/tls/korvane.pem\nMOD_KORVANE_TLS_KEY=/run/tls/korvane.key\n";
}

pid_t World::tls_front(uint16_t port, uint16_t backend, const std::string& certificate,
                       const std::string& client_authority)
{
    const std::string verify = client_authority.empty() ? "verify=0" : "verify=1,cafile=/run/tls/" + client_authority + ".pem";
    const pid_t socat = spawn({"socat", "OPENSSL-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork,cert=/run/tls/" +
                                            certificate + ".pem,key=/run/tls/" + certificate + ".key," + verify,
                               "TCP:127.0.0.1:" + std::to_string(backend)});
    if (socat > 0 && !wait_until([&] { return listening(port); }, 5000ms))
        ADD_FAILURE() << "socat does not listen on " << port;
    return socat;
}

int thread_count(pid_t pid)
{
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

uint16_t local_port(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

bool wait_until(const std::function<bool()>& pred, Millis deadline)
{
    const auto end = Clock::now() + deadline;
    for (;;) {
        if (pred())
            return true;
        if (remaining(end).count() == 0)
            return false;
        std::this_thread::sleep_for(5ms);
    }
}

std::vector<uint8_t> read_bytes(int fd, size_t count, Millis deadline)
{
    std::vector<uint8_t> bytes;
    const auto end = Clock::now() + deadline;
    while (bytes.size() < count) {
        uint8_t block[4096];
        const size_t want = std::min(sizeof block, count - bytes.size());
        const ssize_t got = read(fd, block, want);
        if (got > 0) {
            bytes.insert(bytes.end(), block, block + got);
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EINTR))
            break;
        const Millis left = remaining(end);
        if (left.count() == 0)
            break;
        pollfd wait{fd, POLLIN, 0};
        poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), 50)));
    }
    return bytes;
}

std::vector<uint8_t> read_until_quiet(int fd, Millis quiet, Millis deadline)
{
    std::vector<uint8_t> bytes;
    const auto end = Clock::now() + deadline;
    auto last = Clock::now();
    for (;;) {
        uint8_t block[4096];
        const ssize_t got = read(fd, block, sizeof block);
        if (got > 0) {
            bytes.insert(bytes.end(), block, block + got);
            last = Clock::now();
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EINTR))
            break;
        auto stop = end;
        if (!bytes.empty())
            stop = std::min(stop, last + quiet);
        const Millis left = remaining(stop);
        if (left.count() == 0)
            break;
        pollfd wait{fd, POLLIN, 0};
        poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), 20)));
    }
    return bytes;
}

void write_bytes(int fd, const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    const auto end = Clock::now() + 5000ms;
    while (done < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && (errno == EAGAIN || errno == EINTR) && remaining(end).count() > 0) {
            pollfd wait{fd, POLLOUT, 0};
            poll(&wait, 1, 20);
            continue;
        }
        ADD_FAILURE() << "write of " << bytes.size() << " bytes stopped after " << done << ": "
                      << std::strerror(errno);
        return;
    }
}

std::vector<uint8_t> with_crc(std::vector<uint8_t> frame)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : frame) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<uint16_t>(crc >> 1);
    }
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

std::string lock_text(pid_t pid)
{
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

std::string hex(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0)
            text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

} // namespace kt
