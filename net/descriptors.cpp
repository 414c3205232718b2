#include "net/descriptors.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/uio.h>
#include <unistd.h>

#include "core/log.hpp"

void fdset_add(int fd, fd_set& set)
{
    if (fd >= 0 && fd < FD_SETSIZE)
        FD_SET(fd, &set);
}

void close_broken(int& fd_slot)
{
    log_message(LOG_ERR, "connection was closed");
    close(fd_slot);
    fd_slot = -1;
}

namespace {

bool marked(int fd, const fd_set& set)
{
    return fd >= 0 && fd < FD_SETSIZE && FD_ISSET(fd, &set);
}

// What a read or write that returned `done` of `wanted` bytes means for its
// descriptor: kept (1), or broken and closed (0).
int judge_read(int& fd_slot, ssize_t got)
{
    if (got > 0)
        return 1;
    if (got < 0)
        log_message(LOG_ERR, "read has failed (%s)", std::strerror(errno));
    close_broken(fd_slot);
    return 0;
}

int judge_write(int& fd_slot, ssize_t put, ssize_t wanted)
{
    if (put == wanted)
        return 1;
    if (put < 0 && errno == EAGAIN) {
        // A full pipe is congestion, not a broken channel: the reader is
        // still there and will drain it. Only this message is lost.
        log_message(LOG_ERR, "pipe is full, message was dropped");
        return 0;
    }
    close_broken(fd_slot);
    return 0;
}

} // namespace

int read_if_ready(int& fd_slot, const fd_set& set, FrameBuffer& frame)
{
    if (!marked(fd_slot, set))
        return 0;
    const ssize_t got = read(fd_slot, frame.data, static_cast<std::size_t>(frame.size));
    frame.len = static_cast<std::int32_t>(got);
    return judge_read(fd_slot, got);
}

int write_all_or_close(int& fd_slot, const FrameBuffer& frame)
{
    if (fd_slot < 0)
        return 0;
    const ssize_t put = write(fd_slot, frame.data, static_cast<std::size_t>(frame.len));
    return judge_write(fd_slot, put, frame.len);
}

int write_tagged_or_close(int& fd_slot, std::uint32_t tag, const FrameBuffer& frame)
{
    if (fd_slot < 0)
        return 0;
    iovec parts[2] = {{&tag, sizeof tag}, {frame.data, static_cast<std::size_t>(frame.len)}};
    const ssize_t put = writev(fd_slot, parts, 2);
    return judge_write(fd_slot, put, static_cast<ssize_t>(sizeof tag) + frame.len);
}

int read_tagged_if_ready(int& fd_slot, const fd_set& set, std::uint32_t& tag, FrameBuffer& frame)
{
    if (!marked(fd_slot, set))
        return 0;
    iovec parts[2] = {{&tag, sizeof tag}, {frame.data, static_cast<std::size_t>(frame.size)}};
    const ssize_t got = readv(fd_slot, parts, 2);
    if (judge_read(fd_slot, got) != 1)
        return 0;
    // Our own writers always put the tag first; a shorter message can only
    // be a stranger's, with nothing in it to answer.
    if (got < static_cast<ssize_t>(sizeof tag))
        return 0;
    frame.len = static_cast<std::int32_t>(got - static_cast<ssize_t>(sizeof tag));
    return 1;
}

timeval timeval_from_ms(std::uint32_t ms)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return tv;
}

std::int64_t monotonic_now_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::int64_t deadline_after_ms(std::uint32_t ms)
{
    return monotonic_now_us() + static_cast<std::int64_t>(ms) * 1000;
}

timeval time_left(std::int64_t deadline)
{
    std::int64_t left = deadline - monotonic_now_us();
    if (left < 0)
        left = 0;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(left / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(left % 1000000);
    return tv;
}
