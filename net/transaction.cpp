#include "net/transaction.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "core/counters.hpp"
#include "core/log.hpp"
#include "modbus/convert.hpp"
#include "modbus/crc.hpp"

namespace {

// The identifiers handed out for one message, sent or not: from first_id on,
// as many as count. In cache mode nothing else is exchanged between two
// attempts of the head message, so they form one run.
struct Attempts {
    std::uint16_t first_id;
    std::uint32_t count;
    // The message, known by its length and CRC.
    std::int32_t length;
    std::uint16_t crc;
    bool repeatable;  // sent with delivery_repeat
    bool answered;    // an answer to one of them came between exchanges
    std::uint32_t late_round_trip_us;  // of that answer, from its own attempt
};

// When the last few attempts went out: a round trip is timed from the
// attempt that was answered, not from the last one. Attempts of one message
// follow each other at growing pauses, so an answer to one older than these
// is rare; it is then not timed.
constexpr std::uint32_t timed_attempts = 8;
struct SentAt {
    std::uint16_t id;
    std::int64_t at_us;  // 0: free
};

// Each has a single user, the one network worker thread.
std::uint16_t transaction_counter = 0;
FrameBuffer* exchange_buffer = nullptr;  // the message sent, then scratch for stale ones
FrameBuffer* late_answer = nullptr;      // kept for the message it answers
Attempts attempts{};
SentAt sent_at[timed_attempts]{};

void note_sent(std::uint16_t id, std::int64_t now)
{
    sent_at[id % timed_attempts] = SentAt{id, now};
}

// The round trip of an answer under id arriving now; false when that
// attempt is not known.
bool round_trip_of(std::uint16_t id, std::int64_t now, std::uint32_t& microseconds)
{
    const SentAt& sent = sent_at[id % timed_attempts];
    if (sent.at_us == 0 || sent.id != id)
        return false;
    microseconds = static_cast<std::uint32_t>(now - sent.at_us);
    return true;
}

bool buffers_ready()
{
    if (exchange_buffer == nullptr)
        exchange_buffer = frame_new(frame_capacity);
    if (late_answer == nullptr)
        late_answer = frame_new(frame_capacity);
    return exchange_buffer != nullptr && late_answer != nullptr;
}

bool same_message(const FrameBuffer& frame)
{
    return attempts.count != 0 && attempts.length == frame.len &&
           attempts.crc == crc16(frame.data, frame.len);
}

void note_attempt(const FrameBuffer& frame, std::uint16_t id, int delivery)
{
    if (delivery == delivery_repeat && attempts.repeatable && same_message(frame)) {
        const std::uint32_t span = static_cast<std::uint16_t>(id - attempts.first_id) + 1u;
        // Past 65536 identifiers the run has wrapped and covers them all.
        attempts.count = attempts.count == 65536 || span < attempts.count ? 65536 : span;
        return;
    }
    attempts = Attempts{id, 1, frame.len, crc16(frame.data, frame.len), delivery == delivery_repeat, false, 0};
}

bool answers_an_attempt(std::uint16_t id)
{
    return static_cast<std::uint16_t>(id - attempts.first_id) < attempts.count;
}

enum Judged { judged_nothing, judged_ours, judged_broken };

// Judges every whole message the stream holds, oldest first: an answer to
// one of our attempts goes into frame (id tells which); any other is late
// (its exchange gave up) and thrown away. A late answer and ours may come in
// one read.
Judged judge_received(NetContext& ctx, FrameBuffer& frame, std::uint16_t& answered_id)
{
    for (;;) {
        std::uint16_t id = 0;
        const int taken = stream_take(*ctx.stream, id, *exchange_buffer);
        if (taken == stream_empty)
            return judged_nothing;
        if (taken == stream_broken)
            return judged_broken;
        if (answers_an_attempt(id)) {
            std::memcpy(frame.data, exchange_buffer->data, static_cast<std::size_t>(exchange_buffer->len));
            frame.len = exchange_buffer->len;
            attempts = Attempts{};
            answered_id = id;
            return judged_ours;
        }
        count(counters.server_late_dropped);
        log_message(LOG_NOTICE, "received bad transaction id");
    }
}

} // namespace

int request_transaction(NetContext& ctx, FrameBuffer& frame, int delivery)
{
    if (!buffers_ready())
        return transaction_not_sent;

    // 1. An earlier attempt was answered between exchanges: the write is
    //    done, and sending it once more would only do it again.
    if (delivery == delivery_repeat && attempts.answered && same_message(frame)) {
        std::memcpy(frame.data, late_answer->data, static_cast<std::size_t>(late_answer->len));
        frame.len = late_answer->len;
        if (attempts.late_round_trip_us != 0)
            count_round_trip(attempts.late_round_trip_us);
        attempts = Attempts{};
        return transaction_answered;
    }

    // 2. The next identifier, used up whether or not the message goes out.
    transaction_counter = static_cast<std::uint16_t>(transaction_counter + 1);
    const std::uint16_t id = transaction_counter;
    note_attempt(frame, id, delivery);
    if (frame.len > max_tcp_payload) {
        log_message(LOG_ERR, "request of %d bytes does not fit a tcp message", static_cast<int>(frame.len));
        return transaction_not_sent;
    }
    if (rtu_to_tcp(frame, *exchange_buffer, id) != 1)
        return transaction_not_sent;

    // 3. Sent whole, or not at all.
    if (link_send(ctx, *exchange_buffer) != 1) {
        link_close(ctx);
        return transaction_not_sent;
    }
    count(counters.server_exchanges);
    if (delivery == delivery_broadcast)
        return transaction_no_answer;

    // 4. One deadline for the whole exchange, the time left worked out
    //    before each wait: late answers and answers in pieces cannot
    //    stretch it, whatever the C library's select does with its timeval.
    const std::int64_t sent = monotonic_now_us();
    note_sent(id, sent);
    const std::int64_t deadline = sent + static_cast<std::int64_t>(ctx.timeout_ms) * 1000;
    for (;;) {
        std::uint16_t answered_id = id;
        const Judged judged = judge_received(ctx, frame, answered_id);
        if (judged == judged_ours) {
            count(counters.server_answered);
            std::uint32_t round_trip = 0;
            if (round_trip_of(answered_id, monotonic_now_us(), round_trip))
                count_round_trip(round_trip);
            return transaction_answered;
        }
        if (judged == judged_broken) {
            link_close(ctx);
            return transaction_no_answer;
        }
        fd_set set;
        FD_ZERO(&set);
        fdset_add(ctx.sock, set);
        // korvane stops: the message stays queued and goes to the stick.
        fdset_add(ctx.stop_fd, set);
        timeval left = time_left(deadline);
        // Decrypted bytes already held are read without a wait.
        const bool held = link_buffered(ctx);
        if (held)
            FD_ZERO(&set);
        const int ready = held ? 1 : select(FD_SETSIZE, &set, nullptr, nullptr, &left);
        if (ready == 0) {
            count(counters.server_timeouts);
            return transaction_no_answer;
        }
        if (ready < 0) {
            log_message(LOG_ERR, "select (%s)", std::strerror(errno));
            sleep(1);
            // The set is meaningless now; reading the blocking socket could
            // wait for ever.
            return transaction_no_answer;
        }
        if (ctx.stop_fd >= 0 && FD_ISSET(ctx.stop_fd, &set))
            return transaction_no_answer;
        // 5. Whatever came joins the stream: a message cut between two
        //    reads is completed by the next.
        if (link_receive(ctx, set) != 1)
            return transaction_no_answer;
    }
}

void transaction_drain(NetContext& ctx, const fd_set& set)
{
    if (!buffers_ready() || link_receive(ctx, set) != 1)
        return;
    for (;;) {
        std::uint16_t id = 0;
        const int taken = stream_take(*ctx.stream, id, *exchange_buffer);
        if (taken == stream_empty)
            return;
        if (taken == stream_broken) {
            link_close(ctx);
            return;
        }
        if (attempts.repeatable && !attempts.answered && answers_an_attempt(id)) {
            std::memcpy(late_answer->data, exchange_buffer->data, static_cast<std::size_t>(exchange_buffer->len));
            late_answer->len = exchange_buffer->len;
            attempts.answered = true;
            std::uint32_t round_trip = 0;
            attempts.late_round_trip_us = round_trip_of(id, monotonic_now_us(), round_trip) ? round_trip : 0;
        } else {
            count(counters.server_late_dropped);
        }
    }
}

bool transaction_answer_waiting()
{
    return attempts.answered;
}

void transaction_forget()
{
    attempts = Attempts{};
}
