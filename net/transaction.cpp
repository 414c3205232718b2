#include "net/transaction.hpp"

#include <cerrno>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

#include "modbus/convert.hpp"

namespace {

// Both have a single user, the one network worker thread.
std::uint16_t transaction_counter = 0;
FrameBuffer* exchange_buffer = nullptr;

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
        syslog(LOG_ERR, "request of %d bytes does not fit a tcp message", static_cast<int>(frame.len));
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
            syslog(LOG_ERR, "select (%s)", std::strerror(errno));
            sleep(1);
            // The set is meaningless now; reading the blocking socket could
            // wait for ever.
            return transaction_no_answer;
        }
        if (read_if_ready(ctx.sock, set, *exchange_buffer) != 1)
            return transaction_no_answer;
        // A block of one byte carries only half an identifier.
        std::int32_t position = 0;
        if (exchange_buffer->len >= 2 && get_u16_be(exchange_buffer->data, position) == id) {
            std::uint16_t answered_id = 0;
            tcp_to_rtu(*exchange_buffer, frame, answered_id);
            return transaction_answered;
        }
        syslog(LOG_NOTICE, "received bad transaction id");
    }
}
