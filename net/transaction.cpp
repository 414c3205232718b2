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

// Bytes of the message that starts at offset: what its MBAP length field
// gives (header + unit id + PDU) when more than that was read, else all the
// rest, so that a block holding one message is taken whole.
std::int32_t message_length(const FrameBuffer& block, std::int32_t offset)
{
    const std::int32_t rest = block.len - offset;
    if (rest < tcp_header_size)
        return rest;
    std::int32_t position = offset + 4;
    const std::int32_t declared = tcp_header_size + get_u16_be(block.data, position);
    return declared < rest ? declared : rest;
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
    if (write_all_or_close(ctx.sock, *exchange_buffer) != 1)
        return transaction_not_sent;

    // One time-out for the whole exchange: Linux select lowers it by the
    // time each wait took, so late answers cannot stretch the exchange.
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
        if (read_if_ready(ctx.sock, set, *exchange_buffer) != 1)
            return transaction_no_answer;
        // A late answer to an earlier exchange and ours can come in one read:
        // judge each message of the block on its own, or ours is thrown away
        // with the stale one (or, coming first, gets the stale one glued on).
        for (std::int32_t offset = 0; offset < exchange_buffer->len;) {
            const std::int32_t length = message_length(*exchange_buffer, offset);
            std::int32_t position = offset;
            // A piece of one byte carries only half an identifier.
            if (length >= 2 && get_u16_be(exchange_buffer->data, position) == id) {
                const FrameBuffer answer{exchange_buffer->data + offset, exchange_buffer->size - offset, length};
                std::uint16_t answered_id = 0;
                tcp_to_rtu(answer, frame, answered_id);
                return transaction_answered;
            }
            log_message(LOG_NOTICE, "received bad transaction id");
            offset += length;
        }
    }
}
