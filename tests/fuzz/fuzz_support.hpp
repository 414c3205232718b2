// What every harness needs around the daemon's code: a reader of the
// fuzzer's bytes, a check that aborts with its text, and a private mount
// namespace in which the daemon's fixed directories are tmpfs of the
// harness's own and no syslog socket leads out to the host.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#define FZ_CHECK(condition)                                                                    \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition);      \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace fz {

using Bytes = std::vector<std::uint8_t>;

// The fuzzer's bytes taken from the front; zeros once they run out.
struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;

    bool done() const { return pos >= size; }
    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() << 8 | byte()); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) << 16 | u16(); }
    // Up to count bytes, fewer at the end.
    Bytes bytes(std::size_t count)
    {
        const std::size_t n = count < size - pos ? count : size - pos;
        Bytes out(data + pos, data + pos + n);
        pos += n;
        return out;
    }
};

// mount(2) itself: a harness may answer the daemon's own mount() calls.
inline int raw_mount(const char* source, const char* target, const char* type,
                     unsigned long flags)
{
    return static_cast<int>(syscall(SYS_mount, source, target, type, flags, nullptr));
}

inline void make_dirs(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos)
            return;
    }
}

inline void write_text(const char* path, const char* text)
{
    const int fd = open(path, O_WRONLY);
    FZ_CHECK(fd >= 0 && write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text)));
    close(fd);
}

// A private mount namespace (as root, or as the mapped root of a new user
// namespace) with a fresh tmpfs on each of dirs. A syslog socket of the host
// is covered, so that millions of inputs do not end up in the host's log.
inline void private_mounts(std::initializer_list<const char*> dirs)
{
    if (unshare(CLONE_NEWNS) != 0) {
        const std::string uid = "0 " + std::to_string(getuid()) + " 1";
        const std::string gid = "0 " + std::to_string(getgid()) + " 1";
        FZ_CHECK(unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0);
        write_text("/proc/self/setgroups", "deny");
        write_text("/proc/self/uid_map", uid.c_str());
        write_text("/proc/self/gid_map", gid.c_str());
    }
    FZ_CHECK(raw_mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE) == 0);
    for (const char* dir : dirs) {
        make_dirs(dir);
        FZ_CHECK(raw_mount("tmpfs", dir, "tmpfs", 0) == 0);
    }
    struct stat log {};
    if (stat("/dev/log", &log) == 0)
        FZ_CHECK(raw_mount("/dev/null", "/dev/log", nullptr, MS_BIND) == 0);
}

} // namespace fz
