#include "serial/worker.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sys/select.h>
#include <unistd.h>

#include "core/counters.hpp"
#include "core/log.hpp"
#include "modbus/convert.hpp"
#include "modbus/crc.hpp"
#include "net/link.hpp"
#include "store/fifo.hpp"
#include "store/ring.hpp"

namespace {

// Room the answer needs for its CRC in the 512-byte frame.
constexpr std::int32_t max_answer_len = frame_capacity - 2;

void* serial_thread(void* arg)
{
    serial_worker(*static_cast<SerialContext*>(arg));
}

int port_is_usable(int kind)
{
    return kind == port_kind_plain || kind == port_kind_rts || kind == port_kind_plain_alt;
}

void hang_up(SerialContext& context)
{
    tty_close(context.port_fd);
    context.port_fd = -1;
}

void count_answer(const FrameBuffer& frame)
{
    count(counters.line_answers);
    if (frame.len < 3 || (frame.data[1] & fc_exception_flag) == 0)
        return;
    switch (frame.data[2]) {
    case ex_illegal_function: count(counters.line_exception_1); break;
    case ex_illegal_data_value: count(counters.line_exception_3); break;
    case ex_server_device_failure: count(counters.line_exception_4); break;
    case ex_gateway_path_unavailable: count(counters.line_exception_10); break;
    case ex_gateway_target_failed: count(counters.line_exception_11); break;
    default: break;
    }
}

void send_to_line(SerialContext& context, FrameBuffer& frame)
{
    if (context.port_fd >= 0)
        count_answer(frame);
    crc16_append(frame);
    serial_write(context.port_fd, context.rts_mode, frame, frame.len);
}

// Gathers bytes until the line stays quiet for the split gap or the frame is
// full. Returns false when the port hung up (it is then closed).
bool collect_request(SerialContext& context, FrameBuffer& frame)
{
    for (;;) {
        const ssize_t got = read(context.port_fd, frame.data + frame.len,
                                 static_cast<std::size_t>(frame.size - frame.len));
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            hang_up(context);
            frame.len = 0;
            return false;
        }
        if (got > 0)
            frame.len += static_cast<std::int32_t>(got);
        if (frame.len >= frame.size)
            return true;

        fd_set gap;
        FD_ZERO(&gap);
        fdset_add(context.port_fd, gap);
        timeval quiet = timeval_from_ms(context.settings->split);
        if (select(context.port_fd + 1, &gap, nullptr, nullptr, &quiet) <= 0)
            return true;
    }
}

// Cache mode answers the master itself: writes are queued and acknowledged,
// anything else is refused. A broadcast is queued or refused alike but never
// answered: the master sends its next request after its turnaround delay,
// where an answer would collide with it or be taken as its answer.
void answer_in_cache_mode(SerialContext& context, FrameBuffer& frame)
{
    const bool broadcast = is_broadcast(frame) == 1;
    if (is_cacheable_function(frame) == 0) {
        log_message(LOG_NOTICE, "Received unsupported modbus function");
        make_exception(frame, ex_illegal_function);
    } else if (frame.len < min_write_request_len) {
        make_exception(frame, ex_illegal_data_value);
    } else if (frame.len > max_tcp_payload) {
        // It could never be sent as one Modbus TCP message.
        make_exception(frame, ex_server_device_failure);
    } else if (std::uint32_t ticket = 0; ring_push(*context.ring, frame, &ticket) == 1) {
        // Durable: the master hears "done" only once the write is on the
        // stick or answered by the server, within the time-out.
        const GatewaySettings& settings = *context.settings;
        if (settings.durable == 0 || broadcast ||
            ring_wait_taken(*context.ring, ticket, deadline_after_ms(timeout_in_use(settings))) == 1) {
            count(counters.cache_acknowledged);
            make_write_ack(frame);
        } else {
            make_exception(frame, ex_server_device_failure);
        }
    } else {
        make_exception(frame, ex_server_device_failure);
    }
    if (frame.len == 3 && frame.data[2] == ex_server_device_failure)
        count(counters.cache_refused);
    if (!broadcast)
        send_to_line(context, frame);
}

// Returns true when the turn goes on to read an answer from the response pipe.
bool handle_request(SerialContext& context, FrameBuffer& frame)
{
    if (frame.len <= 0)
        return true;
    count(counters.line_frames);
    // A newer frame, for any slave and even one spoilt on the way, means
    // the master no longer waits for the answer to the request before.
    ++context.request_seq;
    if (crc16_check_strip(frame) == 0) {
        count(counters.line_bad_crc);
        log_message(LOG_ERR, "Received bad CRC, data: %s", hex_dump(frame.data, frame.len));
        frame.len = 0;
        return false;
    }
    const GatewaySettings& settings = *context.settings;
    if (settings.use_slave_id != 0 && frame.data[0] != settings.slave_id) {
        count(counters.line_other_slaves);
        return false;
    }
    if (is_broadcast(frame) == 1)
        count(counters.line_broadcasts);
    if (settings.cache_mode == 0) {
        (void)write_tagged_or_close(context.tx_fifo, context.request_seq, frame);
        return true;
    }
    const bool refused = is_cacheable_function(frame) == 0;
    answer_in_cache_mode(context, frame);
    return !refused;
}

void answer_from_network(SerialContext& context, const fd_set& ready, FrameBuffer& frame)
{
    std::uint32_t tag = 0;
    if (read_tagged_if_ready(context.rx_fifo, ready, tag, frame) != 1)
        return;
    // The master pairs answers with requests by time alone: once it sent
    // another request, this answer would be taken as that one's.
    if (tag != context.request_seq) {
        count(counters.line_stale_dropped);
        log_message(LOG_NOTICE, "stale answer was dropped");
        return;
    }
    if (frame.len > max_answer_len) {
        log_message(LOG_ERR, "answer of %d bytes has no room for its CRC, dropped",
               static_cast<int>(frame.len));
        return;
    }
    send_to_line(context, frame);
}

} // namespace

int serial_init(const GatewaySettings& settings, MessageRing& ring, SerialContext& context)
{
    context.settings = &settings;
    context.ring = &ring;
    context.port_fd = -1;
    context.tx_fifo = -1;
    context.rx_fifo = -1;
    context.rts_mode = 0;
    context.frame = nullptr;
    context.request_seq = 0;

    if (std::strstr(settings.device, "ttyS") != nullptr) {
        const int kind = serial_port_kind(std::strcmp(settings.device, "ttyS0") == 0 ? 0 : 1);
        context.rts_mode = kind == port_kind_rts ? 1 : 0;
        if (!port_is_usable(kind)) {
            log_message(LOG_ERR, "missing serial port");
            return 1;
        }
    }
    std::snprintf(context.device_path, sizeof context.device_path, "/dev/%s", settings.device);

    if (tty_lock(context.device_path, 1) == 0) {
        log_message(LOG_ERR, "device %s is locked", context.device_path);
        return 1;
    }
    context.port_fd = serial_port_open(context);

    if (settings.cache_mode == 0) {
        context.tx_fifo = fifo_open(request_fifo_path);
        if (context.tx_fifo < 0) {
            log_message(LOG_ERR, "serial cannot open tx_fifo (%s)", std::strerror(errno));
            return 1;
        }
        // Each request must be read back as one message, never glued to the
        // next one.
        if (fifo_packet_mode(context.tx_fifo) != 1) {
            log_message(LOG_ERR, "serial cannot set packet mode on tx_fifo (%s)", std::strerror(errno));
            return 1;
        }
        context.rx_fifo = fifo_open(response_fifo_path);
        if (context.rx_fifo < 0) {
            log_message(LOG_ERR, "serial cannot open rx_fifo (%s)", std::strerror(errno));
            return 1;
        }
    }

    context.frame = frame_new(frame_capacity);
    if (context.frame == nullptr)
        return 1;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, serial_thread, &context);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        log_message(LOG_ERR, "cannot start serial thread (%s)", std::strerror(error));
        return 1;
    }
    return 0;
}

void serial_turn(SerialContext& context, FrameBuffer& frame)
{
    fd_set ready;
    FD_ZERO(&ready);
    fdset_add(context.port_fd, ready);
    fdset_add(context.rx_fifo, ready);
    // Nothing to do costs nothing: the worker sleeps until the line or the
    // response pipe has something.
    if (select(FD_SETSIZE, &ready, nullptr, nullptr, nullptr) < 0) {
        log_message(LOG_ERR, "select: %s", std::strerror(errno));
        sleep(1);
        // Nothing is known to be ready; acting on the stale set would
        // give up the response pipe.
        FD_ZERO(&ready);
    }

    frame.len = 0;
    if (context.port_fd >= 0 && FD_ISSET(context.port_fd, &ready)) {
        if (collect_request(context, frame) && !handle_request(context, frame))
            return;
    }
    answer_from_network(context, ready, frame);
}

void serial_worker(SerialContext& context)
{
    FrameBuffer& frame = *context.frame;
    for (;;) {
        if (context.port_fd < 0) {
            sleep(1);
            context.port_fd = serial_port_open(context);
            // Answers that waited while the port was closed belong to
            // requests of a master that has long moved on.
            ++context.request_seq;
            continue;
        }
        serial_turn(context, frame);
    }
}
