#include "net/link.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.hpp"

namespace {

// Seconds between the starts of two connection attempts, plus one: an
// attempt in second t is followed by the next no sooner than second t + 6.
constexpr std::time_t reconnect_pacing = 5;

// A time-out setting of 0 makes an exchange a mere poll for an answer that is
// already there; a handshake cannot be a poll (it needs a round trip even on
// a LAN), so such a connect attempt gets one second, the first SYN's
// retransmission time.
constexpr std::uint32_t connect_wait_for_zero_ms = 1000;

// A server host that loses power or its cable never closes the connection:
// without these the kernel retransmits for about 15 minutes, and an idle
// connection is never found dead at all. Probes start after 10 s of silence,
// one every 5 s; data or probes unacknowledged for 20 s end the connection
// (ETIMEDOUT), so a vanished server is noticed within 30 s, idle or not.
constexpr int keepalive_idle_s = 10;
constexpr int keepalive_interval_s = 5;
constexpr int keepalive_probes = 3;
constexpr unsigned unacknowledged_limit_ms = 20000;

std::time_t monotonic_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

// The one way a connection or pipe end found broken is given up.
void close_connection(int& fd_slot)
{
    log_message(LOG_ERR, "connection was closed");
    close(fd_slot);
    fd_slot = -1;
}

// connect() on a blocking socket waits for the system's own time-out, about
// 127 s to a host that drops the SYN; meanwhile no request is served. The
// handshake is waited for here instead, within timeout_ms. 0, or -1 with
// errno set (ETIMEDOUT when the wait ran out).
int connect_within(int fd, const sockaddr_in& server, std::uint32_t timeout_ms)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        if (errno != EINPROGRESS)
            return -1;
        const std::uint32_t wait_ms = timeout_ms == 0 ? connect_wait_for_zero_ms : timeout_ms;
        pollfd handshake{fd, POLLOUT, 0};
        const int ready = poll(&handshake, 1, wait_ms > INT_MAX ? INT_MAX : static_cast<int>(wait_ms));
        if (ready == 0)
            errno = ETIMEDOUT;
        if (ready <= 0)
            return -1;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return -1;
        if (error != 0) {
            errno = error;
            return -1;
        }
    }
    return fcntl(fd, F_SETFL, flags) == 0 ? 0 : -1;
}

// A connection without these still works; it is only found dead later.
void watch_for_vanished_server(int fd)
{
    const int on = 1;
    const unsigned limit = unacknowledged_limit_ms;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepalive_idle_s, sizeof keepalive_idle_s) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &keepalive_interval_s, sizeof keepalive_interval_s) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &keepalive_probes, sizeof keepalive_probes) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &limit, sizeof limit) != 0)
        log_message(LOG_WARNING, "tcp keep-alive cannot be set (%s)", std::strerror(errno));
}

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

int tcp_connect(std::uint32_t address, std::uint32_t port, std::uint32_t timeout_ms)
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
    if (connect_within(fd, server, timeout_ms) != 0) {
        log_message(LOG_ERR, "connect socket error: %s", std::strerror(errno));
        close(fd);
        return -1;
    }
    watch_for_vanished_server(fd);
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
    close_connection(fd_slot);
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
    close_connection(fd_slot);
    return 0;
}

int send_all_or_close(int& fd_slot, const FrameBuffer& frame)
{
    // A server whose application stopped reading while its stack still
    // acknowledges fills both socket buffers; a send that waited for room
    // would hold the worker, and with it the line, for as long as the peer
    // lives. No room for the whole request is a failed send.
    if (fd_slot < 0)
        return 0;
    if (send(fd_slot, frame.data, static_cast<std::size_t>(frame.len), MSG_DONTWAIT | MSG_NOSIGNAL) == frame.len)
        return 1;
    close_connection(fd_slot);
    return 0;
}

void link_reconnect(NetContext& ctx, std::time_t& next_attempt)
{
    // Monotonic: a wall clock set back (an NTP correction, a manual set)
    // would otherwise stop every attempt for as long as the step.
    const std::time_t now = monotonic_seconds();
    if (next_attempt >= now)
        return;
    next_attempt = now + reconnect_pacing;
    const std::uint32_t address = tcp_resolve(ctx.settings->addr);
    if (address == 0)
        return;
    ctx.sock = tcp_connect(address, ctx.settings->port, ctx.settings->timeout);
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
