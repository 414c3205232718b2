#include "net/store_forward.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <utility>

#include "core/log.hpp"
#include "modbus/convert.hpp"
#include "net/transaction.hpp"
#include "store/cache.hpp"
#include "store/ring.hpp"

namespace {

// The worker polls: the ring has no way to wake it.
constexpr std::uint32_t store_forward_poll_ms = 1;

// While the stick refuses records, storing is tried again at most this often.
constexpr std::time_t store_retry_seconds = 1;

// State that lives across turns besides the context.
struct Turn {
    FrameBuffer* frame;   // scratch: drained bytes, records, ring messages, answers
    FrameBuffer* held;    // a message the stick refused, still to be sent or stored
    bool holding;
    std::time_t next_store_try;
};

// Monotonic, so that setting the wall clock back cannot stall the retries.
std::time_t monotonic_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

// Answers are not passed on; an exception is worth a log line. An answer of
// fewer than 3 bytes has no exception code to report.
void report_answer(const FrameBuffer& answer)
{
    if (answer.len < 3)
        return;
    std::uint8_t unit_and_function[2];
    copy_unit_and_function(answer, unit_and_function);
    if ((unit_and_function[1] & fc_exception_flag) != 0)
        log_message(LOG_NOTICE, "received error from tcp slave (code %u)",
               static_cast<unsigned>(answer.data[2]));
}

// Sends one message; true once it counts as delivered: the server answered
// this attempt or an earlier one of the same message (the frame then holds
// the answer, reported here), or the message was a
// broadcast that went out and the connection held while its answer was
// awaited. Servers rightly leave broadcasts unanswered, and one retried for
// ever would hold back every write queued behind it.
bool delivered(NetContext& ctx, FrameBuffer& message)
{
    const bool broadcast = is_broadcast(message) == 1;
    const int result = request_transaction(ctx, message, delivery_repeat);
    if (result == transaction_answered) {
        report_answer(message);
        return true;
    }
    return broadcast && result == transaction_no_answer && ctx.sock >= 0;
}

// Stores the message in turn.held, or keeps holding it when the stick
// refuses (tried again a second later at the earliest).
void store_held(NetContext& ctx, Turn& turn)
{
    const std::time_t now = monotonic_now();
    if (now < turn.next_store_try)
        return;
    if (cache_store(*ctx.cache, *turn.held) == 1) {
        turn.holding = false;
        return;
    }
    turn.next_store_try = now + store_retry_seconds;
}

// The frame holds a message that could not be delivered: put it on the
// stick, or hold it when the stick refuses it, so that an acknowledged write
// is never dropped while the daemon runs.
void keep_undelivered(NetContext& ctx, Turn& turn)
{
    std::swap(turn.frame, turn.held);
    turn.holding = true;
    turn.next_store_try = 0;
    store_held(ctx, turn);
}

// One delivery: flash records first, then a held message, then the ring.
void deliver_one(NetContext& ctx, Turn& turn)
{
    const std::uint32_t number = cache_read_oldest(*ctx.cache, *turn.frame);
    if (number != 0) {
        if (delivered(ctx, *turn.frame)) {
            cache_remove(*ctx.cache, number);
            return;
        }
        // The record stays for the next turn; meanwhile the ring drains onto
        // the stick behind it.
        if (turn.holding)
            store_held(ctx, turn);
        else if (ring_pop(*ctx.ring, *turn.frame) == 1)
            keep_undelivered(ctx, turn);
        return;
    }

    if (turn.holding) {
        if (delivered(ctx, *turn.held)) {
            turn.holding = false;
            return;
        }
        store_held(ctx, turn);
        return;
    }

    if (ring_pop(*ctx.ring, *turn.frame) != 1)
        return;
    if (delivered(ctx, *turn.frame))
        return;
    keep_undelivered(ctx, turn);
}

} // namespace

void store_forward_worker(NetContext& ctx)
{
    Turn turn{ctx.frame, ctx.held, false, 0};
    std::time_t next_attempt = 0;
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        fdset_add(ctx.sock, set);
        timeval poll = timeval_from_ms(store_forward_poll_ms);
        if (select(FD_SETSIZE, &set, nullptr, nullptr, &poll) < 0) {
            log_message(LOG_ERR, "select (%s)", std::strerror(errno));
            sleep(1);
            // Nothing is known to be ready: the drain must not block on the
            // socket.
            FD_ZERO(&set);
        }
        transaction_drain(ctx, set);
        if (ctx.sock < 0)
            link_reconnect(ctx, next_attempt);
        deliver_one(ctx, turn);
    }
}
