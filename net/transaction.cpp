#include "net/transaction.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "core/log.hpp"
#include "modbus/convert.hpp"

namespace {

// Both have a single user, the one network worker thread.
std::uint16_t transaction_counter = 0;
FrameBuffer* exchange_buffer = nullptr;

// Bytes of the message that starts at offset, header included, as its MBAP
// length field gives them; 0 while not even the header is held.
std::int32_t declared_length(const FrameBuffer& held, std::int32_t offset)
{
    if (held.len - offset < tcp_header_size)
        return 0;
    std::int32_t position = offset + 4;
    return tcp_header_size + get_u16_be(held.data, position);
}

// Judges each complete message held in the buffer by its identifier; on a
// match frame takes the answer and the rest is thrown away. An incomplete
// last message moves to the start of the buffer for the next read to
// complete: a server may write the header and the PDU with two sends, and
// a segment may end anywhere. 1 when the answer was found.
int judge_messages(FrameBuffer& held, std::uint16_t id, FrameBuffer& frame)
{
    std::int32_t offset = 0;
    while (offset < held.len) {
        const std::int32_t length = declared_length(held, offset);
        if (length > held.size) {
            // No answer is that long: the stream has lost its step, and
            // nothing held from here on can be framed.
            log_message(LOG_NOTICE, "received bad message length %d", static_cast<int>(length - tcp_header_size));
            held.len = 0;
            return 0;
        }
        if (length == 0 || length > held.len - offset)
            break;
        std::int32_t position = offset;
        if (get_u16_be(held.data, position) == id) {
            const FrameBuffer answer{held.data + offset, held.size - offset, length};
            std::uint16_t answered_id = 0;
            tcp_to_rtu(answer, frame, answered_id);
            return 1;
        }
        log_message(LOG_NOTICE, "received bad transaction id");
        offset += length;
    }
    held.len -= offset;
    std::memmove(held.data, held.data + offset, static_cast<std::size_t>(held.len));
    return 0;
}

} // namespace

int request_transaction(NetContext& ctx, FrameBuffer& frame)
{
    transaction_counter = static_cast<std::uint16_t>(transaction_counter + 1);
    const std::uint16_t id = transaction_counter;

    if (exchange_buffer == nullptr) {
        exchange_buffer = frame_new(frame_capacity);
        if (exchange_buffer == nullptr)
            return transaction_not_sent;
    }
    if (frame.len > max_tcp_payload) {
        log_message(LOG_ERR, "request of %d bytes does not fit a tcp message", static_cast<int>(frame.len));
        return transaction_not_sent;
    }
    if (rtu_to_tcp(frame, *exchange_buffer, id) != 1)
        return transaction_not_sent;
    if (send_all_or_close(ctx.sock, *exchange_buffer) != 1)
        return transaction_not_sent;

    // From here the buffer holds what was received and not yet judged.
    exchange_buffer->len = 0;
    // One time-out for the whole exchange: Linux select lowers it by the
    // time each wait took, so late answers and answers in pieces cannot
    // stretch the exchange.
    timeval timeout = timeval_from_ms(ctx.settings->timeout);
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        fdset_add(ctx.sock, set);
        const int ready = select(FD_SETSIZE, &set, nullptr, nullptr, &timeout);
        if (ready == 0)
            return transaction_no_answer;
        if (ready < 0) {
            log_message(LOG_ERR, "select (%s)", std::strerror(errno));
            sleep(1);
            // The set is meaningless now; reading the blocking socket could
            // wait for ever.
            return transaction_no_answer;
        }
        const std::int32_t held = exchange_buffer->len;
        FrameBuffer more{exchange_buffer->data + held, exchange_buffer->size - held, 0};
        if (read_if_ready(ctx.sock, set, more) != 1)
            return transaction_no_answer;
        exchange_buffer->len = held + more.len;
        // A late answer to an earlier exchange and ours can come in one read:
        // judge each message on its own, or ours is thrown away with the
        // stale one (or, coming first, gets the stale one glued on).
        if (judge_messages(*exchange_buffer, id, frame) == 1)
            return transaction_answered;
    }
}
