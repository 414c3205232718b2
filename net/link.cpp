#include "net/link.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.hpp"

namespace {

// Seconds between the starts of two connection attempts, plus one: an
// attempt in second t is followed by the next no sooner than second t + 6.
constexpr std::time_t reconnect_pacing = 5;

} // namespace

std::uint32_t tcp_resolve(const char* host)
{
    // Read the name-server configuration afresh: it may have changed since
    // the last attempt (a DHCP lease, a new uplink).
    res_init();
    const hostent* entry = gethostbyname(host);
    if (entry == nullptr) {
        log_message(LOG_WARNING, "error resolving hostname %s", host);
        return 0;
    }
    if (entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr)
        return 0;
    in_addr address;
    std::memcpy(&address, entry->h_addr_list[0], sizeof address);
    return ntohl(address.s_addr);
}

int tcp_connect(std::uint32_t address, std::uint32_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
        log_message(LOG_ERR, "create socket error: %s", std::strerror(errno));
        return -1;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    server.sin_addr.s_addr = htonl(address);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        log_message(LOG_ERR, "connect socket error: %s", std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

void fdset_add(int fd, fd_set& set)
{
    if (fd >= 0 && fd < FD_SETSIZE)
        FD_SET(fd, &set);
}

int read_if_ready(int& fd_slot, const fd_set& set, FrameBuffer& frame)
{
    const int fd = fd_slot;
    if (fd < 0 || fd >= FD_SETSIZE || !FD_ISSET(fd, &set))
        return 0;
    const ssize_t got = read(fd, frame.data, static_cast<std::size_t>(frame.size));
    frame.len = static_cast<std::int32_t>(got);
    if (got > 0)
        return 1;
    if (got < 0)
        log_message(LOG_ERR, "read has failed (%s)", std::strerror(errno));
    log_message(LOG_ERR, "connection was closed");
    close(fd);
    fd_slot = -1;
    return 0;
}

int write_all_or_close(int& fd_slot, const FrameBuffer& frame)
{
    const int fd = fd_slot;
    if (fd < 0)
        return 0;
    const ssize_t put = write(fd, frame.data, static_cast<std::size_t>(frame.len));
    if (put == frame.len)
        return 1;
    if (put < 0 && errno == EAGAIN) {
        // A full pipe is congestion, not a broken channel: the reader is
        // still there and will drain it. Only this message is lost.
        log_message(LOG_ERR, "pipe is full, message was dropped");
        return 0;
    }
    close(fd);
    fd_slot = -1;
    log_message(LOG_ERR, "connection was closed");
    return 0;
}

void link_reconnect(NetContext& ctx, std::time_t& next_attempt)
{
    const std::time_t now = time(nullptr);
    if (next_attempt >= now)
        return;
    next_attempt = now + reconnect_pacing;
    const std::uint32_t address = tcp_resolve(ctx.settings->addr);
    if (address == 0)
        return;
    ctx.sock = tcp_connect(address, ctx.settings->port);
    if (ctx.sock >= 0)
        log_message(LOG_NOTICE, "Succesfully connected to %s", ctx.settings->addr);
}

timeval timeval_from_ms(std::uint32_t ms)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return tv;
}
