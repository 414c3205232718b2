#include "net/link.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/counters.hpp"
#include "core/log.hpp"
#include "modbus/convert.hpp"
#include "net/tls.hpp"

namespace {

// Seconds between the end of one connection attempt and the start of the
// next, plus one: an attempt ending in second t is followed no sooner than
// second t + 6.
constexpr std::time_t reconnect_pacing = 5;

// A server host that loses power or its cable never closes the connection:
// without these the kernel retransmits for about 15 minutes, and an idle
// connection is never found dead at all. Probes start after 10 s of silence,
// one every 5 s; data or probes unacknowledged for 20 s end the connection
// (ETIMEDOUT), so a vanished server is noticed within 30 s, idle or not.
constexpr int keepalive_idle_s = 10;
constexpr int keepalive_interval_s = 5;
constexpr int keepalive_probes = 3;
constexpr unsigned unacknowledged_limit_ms = 20000;

// The MBAP length field counts the unit identifier and the PDU: a function
// code at least, and a PDU of at most 253 bytes.
constexpr std::uint16_t min_mbap_length = 2;
constexpr std::uint16_t max_mbap_length = 254;

std::time_t monotonic_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

// connect() on a blocking socket waits for the system's own time-out, about
// 127 s to a host that drops the SYN; meanwhile no request is served. The
// handshake is waited for here instead, within timeout_ms, and no longer once
// stop_fd (-1: none) is readable: korvane stops. 0, or -1 with errno set
// (ETIMEDOUT when the wait ran out, ECANCELED on the stop).
int connect_within(int fd, const sockaddr_in& server, std::uint32_t timeout_ms, int stop_fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        if (errno != EINPROGRESS)
            return -1;
        pollfd waits[2] = {{fd, POLLOUT, 0}, {stop_fd, POLLIN, 0}};
        const int ready = poll(waits, 2, timeout_ms > INT_MAX ? INT_MAX : static_cast<int>(timeout_ms));
        if (ready > 0 && (waits[1].revents & POLLIN) != 0) {
            errno = ECANCELED;
            return -1;
        }
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

// A connection without these still works; it is only found dead later, or
// slower.
void tune_connection(int fd)
{
    const int on = 1;
    const unsigned limit = unacknowledged_limit_ms;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepalive_idle_s, sizeof keepalive_idle_s) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &keepalive_interval_s, sizeof keepalive_interval_s) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &keepalive_probes, sizeof keepalive_probes) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &limit, sizeof limit) != 0)
        log_message(LOG_WARNING, "tcp keep-alive cannot be set (%s)", std::strerror(errno));
    // A request is one small segment: Nagle's rule would hold it back until
    // the server acknowledged the one before, a delayed ACK of up to 40 ms
    // (after a broadcast, which nothing answers, every time).
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        log_message(LOG_WARNING, "tcp no-delay cannot be set (%s)", std::strerror(errno));
}

// The address to connect to now: false while the attempt must wait for the
// main thread's first lookup of the name. A dotted address is used as it
// stands and never reaches the resolver.
bool address_to_use(NetContext& ctx, std::uint32_t& address)
{
    in_addr dotted{};
    if (inet_aton(ctx.settings->addr, &dotted) != 0) {
        address = ntohl(dotted.s_addr);
        return true;
    }
    NameLookup& lookup = ctx.lookup;
    const bool running = lookup.answered.load(std::memory_order_acquire) !=
                         lookup.asked.load(std::memory_order_relaxed);
    if (lookup.waiting) {
        if (running)
            return false;
        lookup.waiting = false;
        address = lookup.address.load(std::memory_order_relaxed);
        return true;
    }
    // Each attempt asks for a fresh lookup (the name may have moved), but
    // never while one still runs.
    if (!running) {
        lookup.asked.fetch_add(1, std::memory_order_relaxed);
        const std::uint64_t one = 1;
        (void)!write(lookup.wake_fd, &one, sizeof one);
    }
    address = lookup.address.load(std::memory_order_relaxed);
    if (address != 0)
        return true;
    lookup.waiting = true;
    return false;
}

} // namespace

int tcp_connect(std::uint32_t address, std::uint32_t port, std::uint32_t timeout_ms, int stop_fd)
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
    if (connect_within(fd, server, timeout_ms, stop_fd) != 0) {
        // A stop is no failure of the server's.
        if (errno != ECANCELED)
            log_message(LOG_ERR, "connect socket error: %s", std::strerror(errno));
        close(fd);
        return -1;
    }
    tune_connection(fd);
    return fd;
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
    close_broken(fd_slot);
    return 0;
}

void link_reconnect(NetContext& ctx, std::time_t& next_attempt)
{
    // Monotonic: a wall clock set back (an NTP correction, a manual set)
    // would otherwise stop every attempt for as long as the step.
    if (next_attempt >= monotonic_seconds())
        return;
    // With TLS on and unusable, no connection is made at all: never one in
    // plain text.
    const bool secure = ctx.settings->tls != 0;
    if (secure && !tls_usable()) {
        // Nothing to attempt, ever; the worker still sleeps between turns.
        next_attempt = monotonic_seconds() + reconnect_pacing;
        return;
    }
    std::uint32_t address = 0;
    if (!address_to_use(ctx, address))
        return;
    if (address != 0) {
        // The handshake is part of the attempt, within the same deadline.
        const std::int64_t deadline = deadline_after_ms(ctx.timeout_ms);
        ctx.sock = tcp_connect(address, ctx.settings->port, ctx.timeout_ms, ctx.stop_fd);
        // A server that cannot resume the last session gets a full
        // handshake at once, within what is left of the deadline.
        if (secure && tls_connect(ctx.sock, deadline, ctx.stop_fd) == tls_resume_refused) {
            const std::int64_t left_ms = (deadline - monotonic_now_us()) / 1000;
            if (left_ms > 0) {
                ctx.sock = tcp_connect(address, ctx.settings->port, static_cast<std::uint32_t>(left_ms), ctx.stop_fd);
                (void)tls_connect(ctx.sock, deadline, ctx.stop_fd);
            }
        }
        if (ctx.sock >= 0) {
            if (ctx.stream != nullptr)
                ctx.stream->len = 0;
            count(counters.server_connects);
            set_counter(counters.server_connected_since, static_cast<std::uint32_t>(time(nullptr)));
            log_message(LOG_NOTICE, "Succesfully connected to %s", ctx.settings->addr);
        }
    }
    // Counted from the end: an attempt that took its whole time-out (or a
    // lookup that took ten seconds) must not be followed by another at once.
    next_attempt = monotonic_seconds() + reconnect_pacing;
}

int link_send(NetContext& ctx, const FrameBuffer& frame)
{
    if (ctx.settings->tls != 0)
        return tls_send(ctx.sock, frame);
    return send_all_or_close(ctx.sock, frame);
}

bool link_buffered(const NetContext& ctx)
{
    return ctx.settings->tls != 0 && ctx.sock >= 0 && tls_buffered();
}

std::int64_t link_wait_for(NetContext& ctx, std::time_t next_attempt, fd_set& set)
{
    // Bytes the TLS library has decrypted already make no descriptor ready.
    if (link_buffered(ctx))
        return monotonic_now_us();
    if (ctx.sock >= 0)
        return 0;
    if (ctx.lookup.waiting) {
        fdset_add(ctx.lookup.done_fd, set);
        return 0;
    }
    // link_reconnect attempts once next_attempt is past: in its next second.
    return (static_cast<std::int64_t>(next_attempt) + 1) * 1000000;
}

void link_woken(NetContext& ctx, const fd_set& set)
{
    const int fd = ctx.lookup.done_fd;
    if (fd < 0 || fd >= FD_SETSIZE || !FD_ISSET(fd, &set))
        return;
    std::uint64_t done = 0;
    (void)!read(fd, &done, sizeof done);
}

void link_publish(const NetContext& ctx)
{
    // Every connection made is either the one up now or lost: a loss that
    // a new connection follows within one turn is counted all the same.
    const std::uint32_t up = ctx.sock >= 0 ? 1 : 0;
    const std::uint32_t made = counters.server_connects.load(std::memory_order_relaxed);
    set_counter(counters.server_lost, made - (made != 0 ? up : 0));
    set_counter(counters.server_connected, up);
}

void link_close(NetContext& ctx)
{
    if (ctx.settings->tls != 0)
        tls_close(ctx.sock);
    else if (ctx.sock >= 0)
        close_broken(ctx.sock);
    if (ctx.stream != nullptr)
        ctx.stream->len = 0;
}

int link_receive(NetContext& ctx, const fd_set& set)
{
    FrameBuffer& stream = *ctx.stream;
    FrameBuffer rest{stream.data + stream.len, stream.size - stream.len, 0};
    // A full stream holds a whole message at its front (none is longer than
    // 260 bytes), which must be taken before more is read.
    if (rest.size == 0)
        return 0;
    const int got = ctx.settings->tls != 0 ? tls_receive(ctx.sock, set, rest) : read_if_ready(ctx.sock, set, rest);
    if (got != 1) {
        if (ctx.sock < 0)
            stream.len = 0;
        return 0;
    }
    stream.len += rest.len;
    return 1;
}

int stream_take(FrameBuffer& stream, std::uint16_t& id, FrameBuffer& answer)
{
    if (stream.len < tcp_header_size)
        return stream_empty;
    std::int32_t position = 0;
    id = get_u16_be(stream.data, position);
    const std::uint16_t protocol = get_u16_be(stream.data, position);
    const std::uint16_t length = get_u16_be(stream.data, position);
    if (protocol != 0) {
        log_message(LOG_NOTICE, "received bad protocol id %u", static_cast<unsigned>(protocol));
        return stream_broken;
    }
    if (length < min_mbap_length || length > max_mbap_length) {
        log_message(LOG_NOTICE, "received bad message length %d", static_cast<int>(length));
        return stream_broken;
    }
    const std::int32_t whole = tcp_header_size + length;
    if (stream.len < whole)
        return stream_empty;
    std::memcpy(answer.data, stream.data + tcp_header_size, length);
    answer.len = length;
    stream.len -= whole;
    std::memmove(stream.data, stream.data + whole, static_cast<std::size_t>(stream.len));
    return stream_message;
}
