#include "net/forwarding.hpp"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "core/log.hpp"
#include "modbus/convert.hpp"
#include "net/store_forward.hpp"
#include "net/tls.hpp"
#include "net/transaction.hpp"
#include "store/fifo.hpp"

namespace {

void* forwarding_thread(void* arg)
{
    forwarding_worker(*static_cast<NetContext*>(arg));
}

void* store_forward_thread(void* arg)
{
    store_forward_worker(*static_cast<NetContext*>(arg));
}

int start_detached(void* (*body)(void*), NetContext& ctx)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, body, &ctx);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        log_message(LOG_ERR, "cannot start tcp thread (%s)", std::strerror(error));
        return 1;
    }
    return 0;
}

// Turns the request into the gateway exception the master should see.
void answer_failure(FrameBuffer& frame, int result)
{
    if (result == transaction_no_answer)
        make_exception(frame, ex_gateway_target_failed);
    else if (result == transaction_not_sent)
        make_exception(frame, ex_gateway_path_unavailable);
}

} // namespace

int tcp_init(const GatewaySettings& settings, MessageRing& ring, RecordCache& cache, NetContext& ctx)
{
    ctx.sock = -1;
    ctx.tx_fifo = -1;
    ctx.rx_fifo = -1;
    ctx.settings = &settings;
    ctx.ring = &ring;
    ctx.cache = &cache;
    ctx.timeout_ms = timeout_in_use(settings);
    if (settings.timeout == 0)
        log_message(LOG_NOTICE, "timeout 0 is taken as %u ms for each exchange and connection attempt",
                    static_cast<unsigned>(ctx.timeout_ms));
    ctx.lookup.wake_fd = eventfd(0, EFD_CLOEXEC);
    ctx.lookup.done_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ctx.lookup.wake_fd < 0 || ctx.lookup.done_fd < 0) {
        log_message(LOG_ERR, "cannot create an event descriptor (%s)", std::strerror(errno));
        return 1;
    }
    ctx.stop_fd = -1;
    ctx.stopped_fd = -1;
    if (settings.cache_mode != 0) {
        ctx.stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ctx.stopped_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (ctx.stop_fd < 0 || ctx.stopped_fd < 0) {
            log_message(LOG_ERR, "cannot create an event descriptor (%s)", std::strerror(errno));
            return 1;
        }
    }
    if (tls_init(settings) != 0)
        return 1;
    ctx.frame = frame_new(frame_capacity);
    ctx.stream = frame_new(frame_capacity);
    if (ctx.frame == nullptr || ctx.stream == nullptr)
        return 1;

    if (settings.cache_mode != 0) {
        return start_detached(store_forward_thread, ctx);
    }

    ctx.tx_fifo = fifo_open(response_fifo_path);
    if (ctx.tx_fifo < 0) {
        log_message(LOG_ERR, "tcp cannot open tx_fifo (%s)", std::strerror(errno));
        return 1;
    }
    if (fifo_packet_mode(ctx.tx_fifo) != 1) {
        log_message(LOG_ERR, "tcp cannot set packet mode on tx_fifo (%s)", std::strerror(errno));
        return 1;
    }
    ctx.rx_fifo = fifo_open(request_fifo_path);
    if (ctx.rx_fifo < 0) {
        log_message(LOG_ERR, "tcp cannot open rx_fifo (%s)", std::strerror(errno));
        return 1;
    }
    return start_detached(forwarding_thread, ctx);
}

void forwarding_worker(NetContext& ctx)
{
    FrameBuffer& frame = *ctx.frame;
    std::time_t next_attempt = 0;
    for (;;) {
        if (ctx.sock < 0)
            link_reconnect(ctx, next_attempt);
        link_publish(ctx);
        // Nothing to do costs nothing: the worker sleeps until a request
        // comes, the server sends, or (without a connection) a lookup ends
        // or the next attempt falls due.
        fd_set set;
        FD_ZERO(&set);
        fdset_add(ctx.rx_fifo, set);
        fdset_add(ctx.sock, set);
        const std::int64_t attempt_due = link_wait_for(ctx, next_attempt, set);
        timeval left = time_left(attempt_due);
        if (select(FD_SETSIZE, &set, nullptr, nullptr, attempt_due != 0 ? &left : nullptr) < 0) {
            log_message(LOG_ERR, "select (%s)", std::strerror(errno));
            sleep(1);
            // Nothing is known to be ready: reading the blocking socket could
            // hang, and a failed pipe read would give the pipe up.
            FD_ZERO(&set);
        }
        link_woken(ctx, set);
        // Whatever the server sends outside an exchange (a late answer) is
        // thrown away; a closed connection is noticed here.
        transaction_drain(ctx, set);
        std::uint32_t tag = 0;
        if (read_tagged_if_ready(ctx.rx_fifo, set, tag, frame) != 1)
            continue;
        // A broadcast goes to the server and nothing is waited for: no
        // slave answers one, and the master's next request follows after
        // its turnaround delay. Whatever comes back has a stale identifier.
        if (is_broadcast(frame) == 1) {
            (void)request_transaction(ctx, frame, delivery_broadcast);
            continue;
        }
        answer_failure(frame, request_transaction(ctx, frame));
        // The tag goes back with the answer: the serial side lets it onto
        // the line only while its request is still the newest.
        (void)write_tagged_or_close(ctx.tx_fifo, tag, frame);
    }
}
