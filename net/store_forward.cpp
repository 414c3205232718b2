#include "net/store_forward.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

#include "core/counters.hpp"
#include "core/log.hpp"
#include "modbus/convert.hpp"
#include "net/transaction.hpp"
#include "store/cache.hpp"
#include "store/ring.hpp"

namespace {

// While the stick refuses records, storing is tried again at most this
// often.
constexpr std::int64_t store_retry_us = 1000000;
// A record that could not be read is read again after a pause that starts
// here and doubles up to the longest.
constexpr std::int64_t read_retry_first_us = 1000000;
// How often a stick is mounted at most, whatever came of the last mount.
constexpr std::int64_t mount_retry_us = 3000000;
// A message the server did not answer in time is sent again after a pause:
// the time-out, doubled after each further time-out, up to this. Its answer
// may still come meanwhile; a server slower than the time-out then carries
// a write out twice, not once per time-out.
constexpr std::int64_t longest_pause_us = 60000000;
constexpr std::int64_t never = INT64_MAX;

// State that lives across turns besides the context.
struct Turn {
    FrameBuffer* frame;  // scratch: drained bytes, records, ring messages, answers
    std::time_t next_attempt;
    // Monotonic microseconds before which each is not tried again.
    std::int64_t store_due;
    std::int64_t read_due;
    std::int64_t mount_due;
    std::int64_t repeat_due;
    // The pauses that grow while the same thing keeps failing.
    std::int64_t read_pause_us;
    std::int64_t repeat_pause_us;
};

std::int64_t doubled(std::int64_t pause)
{
    return pause * 2 < longest_pause_us ? pause * 2 : longest_pause_us;
}

enum Step {
    step_idle,     // nothing waits to be delivered
    step_done,     // one message delivered; the next may follow at once
    step_failed,   // the oldest was not delivered
    step_waiting,  // the oldest record cannot be read yet; nothing overtakes it
};

enum Outcome { outcome_delivered, outcome_timed_out, outcome_failed };

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
// the answer, reported here), or the message was a broadcast that went out
// and the connection held while its answer was awaited. Servers rightly
// leave broadcasts unanswered, and one retried for ever would hold back
// every write queued behind it.
Outcome deliver(NetContext& ctx, FrameBuffer& message)
{
    const bool broadcast = is_broadcast(message) == 1;
    const int result = request_transaction(ctx, message, delivery_repeat);
    if (result == transaction_answered)
        report_answer(message);
    const bool sent_and_held = result == transaction_no_answer && ctx.sock >= 0;
    if (result == transaction_answered || (broadcast && sent_and_held)) {
        count(counters.cache_delivered);
        // The memory of its attempts goes with it: an identical write
        // queued after it is delivered in its own right.
        transaction_forget();
        return outcome_delivered;
    }
    return sent_and_held ? outcome_timed_out : outcome_failed;
}

// Whether the head message may be sent now. After a time-out it waits for
// its pause, unless the answer to an earlier attempt has come meanwhile.
bool may_send(const Turn& turn, std::int64_t now)
{
    return now >= turn.repeat_due || transaction_answer_waiting();
}

Step after_attempt(NetContext& ctx, Turn& turn, Outcome outcome)
{
    if (outcome == outcome_delivered) {
        turn.repeat_due = 0;
        turn.repeat_pause_us = 0;
        return step_done;
    }
    if (outcome == outcome_timed_out) {
        turn.repeat_pause_us = turn.repeat_pause_us == 0 ? static_cast<std::int64_t>(ctx.timeout_ms) * 1000
                                                         : doubled(turn.repeat_pause_us);
        turn.repeat_due = monotonic_now_us() + turn.repeat_pause_us;
    }
    return step_failed;
}

// One delivery, oldest first: the records on the stick, then the ring. A
// ring message leaves the ring only once it is delivered or on the stick.
Step deliver_one(NetContext& ctx, Turn& turn, std::int64_t now)
{
    RecordCache& cache = *ctx.cache;
    if (cache_waiting(cache) > 0) {
        if (now < turn.read_due)
            return step_waiting;
        std::uint32_t number = 0;
        const int read = cache_read_oldest(cache, *turn.frame, number);
        if (read == cache_read_retry) {
            turn.read_due = now + turn.read_pause_us;
            turn.read_pause_us = doubled(turn.read_pause_us);
            return step_waiting;
        }
        turn.read_pause_us = read_retry_first_us;
        if (read == cache_read_record) {
            if (!may_send(turn, now))
                return step_failed;
            const Step step = after_attempt(ctx, turn, deliver(ctx, *turn.frame));
            if (step != step_done)
                return step;
            cache_remove(cache, number);
            const std::int64_t sync_due = cache_removals_due_us(cache);
            if (sync_due != 0 && now >= sync_due)
                (void)cache_sync_removals(cache);
            return step_done;
        }
    }
    // The ring's messages came after every record delivered, and nothing
    // may overtake a record that could come back: the removals are made
    // durable first (at once, too, when the backlog has drained), and
    // nothing goes while a stick that went still holds older records.
    (void)cache_sync_removals(cache);
    if (ring_count(*ctx.ring) == 0 || cache_holds_back(cache))
        return step_idle;
    if (!may_send(turn, now))
        return step_failed;
    if (ring_peek(*ctx.ring, 0, *turn.frame) != 1)
        return step_idle;
    const Step step = after_attempt(ctx, turn, deliver(ctx, *turn.frame));
    if (step == step_done)
        ring_drop(*ctx.ring, 1);
    return step;
}

// Moves what waits in the ring onto the stick behind the records there, in
// one batch that one sync makes durable. What the stick refuses stays in the
// ring (which then fills, and the master gets exception 4) and is tried
// again a second later.
void store_ring(NetContext& ctx, Turn& turn, std::int64_t now)
{
    RecordCache& cache = *ctx.cache;
    if (!cache_in_use(cache) || now < turn.store_due)
        return;
    const std::int32_t waiting = ring_count(*ctx.ring);
    std::int32_t added = 0;
    while (added < waiting && ring_peek(*ctx.ring, added, *turn.frame) == 1 &&
           cache_add(cache, *turn.frame) == 1)
        ++added;
    const std::int32_t kept = cache_commit(cache);
    ring_drop(*ctx.ring, kept);
    turn.store_due = kept < waiting ? now + store_retry_us : 0;
}

// The orderly stop: nothing more is taken in, every message that waits goes
// to the stick, the main thread learns how many were kept and lost, and the
// worker does nothing more.
[[noreturn]] void stop(NetContext& ctx, Turn& turn)
{
    (void)cache_sync_removals(*ctx.cache);
    const std::int32_t waiting = ring_close(*ctx.ring);
    turn.store_due = 0;
    store_ring(ctx, turn, monotonic_now_us());
    const std::int32_t left = ring_count(*ctx.ring);
    ctx.stop_kept.store(static_cast<std::uint32_t>(waiting - left), std::memory_order_relaxed);
    ctx.stop_lost.store(static_cast<std::uint32_t>(left), std::memory_order_relaxed);
    const std::uint64_t one = 1;
    (void)!write(ctx.stopped_fd, &one, sizeof one);
    for (;;)
        pause();
}

bool stick_watched(const RecordCache& cache)
{
    return !cache_in_use(cache) || cache.device_node != nullptr;
}

// Looks for a stick once the one in use has gone, and at the same pace
// looks whether the one in use is still there; meanwhile writes wait in the
// ring.
void find_stick(NetContext& ctx, Turn& turn, std::int64_t now)
{
    if (!stick_watched(*ctx.cache) || now < turn.mount_due)
        return;
    // Paced whatever the outcome: a stick that mounts and fails at once
    // must not be mounted again and again.
    turn.mount_due = now + mount_retry_us;
    if (cache_in_use(*ctx.cache))
        (void)cache_check_stick(*ctx.cache);
    else
        (void)cache_mount(*ctx.cache);
}

bool stop_asked(const NetContext& ctx)
{
    pollfd asked{ctx.stop_fd, POLLIN, 0};
    return ctx.stop_fd >= 0 && poll(&asked, 1, 0) == 1;
}

std::int64_t earliest(std::int64_t a, std::int64_t b)
{
    return a < b ? a : b;
}

// The time of the next thing that falls due, never when nothing will.
std::int64_t next_due(NetContext& ctx, Turn& turn, Step step, fd_set& set)
{
    if (step == step_done)
        return 0;
    std::int64_t due = never;
    const std::int64_t attempt = link_wait_for(ctx, turn.next_attempt, set);
    if (attempt != 0)
        due = attempt;
    if (stick_watched(*ctx.cache))
        due = earliest(due, turn.mount_due);
    if (cache_in_use(*ctx.cache) && turn.store_due != 0 && ring_count(*ctx.ring) > 0)
        due = earliest(due, turn.store_due);
    if (step == step_waiting)
        due = earliest(due, turn.read_due);
    if (step == step_failed && ctx.sock >= 0)
        due = earliest(due, turn.repeat_due);
    const std::int64_t removals = cache_removals_due_us(*ctx.cache);
    if (removals != 0)
        due = earliest(due, removals);
    return due;
}

// Sleeps until something happens: a write pushed into the ring, the server
// sends or closes, a lookup ends, or a retry falls due.
void wait_for_work(NetContext& ctx, Turn& turn, Step step)
{
    fd_set set;
    FD_ZERO(&set);
    fdset_add(ctx.sock, set);
    fdset_add(ctx.ring->wake_fd, set);
    fdset_add(ctx.stop_fd, set);
    const std::int64_t due = next_due(ctx, turn, step, set);
    timeval left = time_left(due);
    if (select(FD_SETSIZE, &set, nullptr, nullptr, due != never ? &left : nullptr) < 0) {
        log_message(LOG_ERR, "select (%s)", std::strerror(errno));
        sleep(1);
        // Nothing is known to be ready: the drain must not block on the
        // socket.
        FD_ZERO(&set);
    }
    if (FD_ISSET(ctx.ring->wake_fd, &set))
        ring_wake_clear(*ctx.ring);
    link_woken(ctx, set);
    transaction_drain(ctx, set);
}

} // namespace

void store_forward_worker(NetContext& ctx)
{
    // The mount at start counts as the first: the next waits its pace.
    Turn turn{ctx.frame, 0, 0, 0, monotonic_now_us() + mount_retry_us, 0, read_retry_first_us, 0};
    for (;;) {
        if (stop_asked(ctx))
            stop(ctx, turn);
        if (ctx.sock < 0)
            link_reconnect(ctx, turn.next_attempt);
        const std::int64_t now = monotonic_now_us();
        find_stick(ctx, turn, now);
        // Without a connection no record is read and nothing is tried: the
        // ring moves to the stick, and the worker waits for the next attempt.
        Step step = step_idle;
        if (ctx.sock >= 0)
            step = deliver_one(ctx, turn, now);
        // A stop cuts the exchange short: the message it held is kept.
        if (stop_asked(ctx))
            stop(ctx, turn);
        // The ring moves to the stick while its head cannot go out, and
        // with durable acknowledgement while records are ahead of it: the
        // master waits for each write only as long as its time-out.
        const bool durable_behind = ctx.settings->durable != 0 && cache_waiting(*ctx.cache) > 0;
        if (ctx.sock < 0 || step == step_failed || step == step_waiting || durable_behind)
            store_ring(ctx, turn, now);
        link_publish(ctx);
        set_counter(counters.cache_waiting, static_cast<std::uint32_t>(
            cache_in_use(*ctx.cache) ? cache_waiting(*ctx.cache) : ctx.cache->left_behind));
        wait_for_work(ctx, turn, step);
    }
}
