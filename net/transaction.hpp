// One request/answer exchange with the Modbus TCP server.
#pragma once

#include "net/link.hpp"

enum TransactionResult : int {
    transaction_answered = 0,   // frame holds the answer (unit id + PDU)
    transaction_no_answer = 1,  // time-out or connection lost while waiting
    transaction_not_sent = 2,   // no connection, failed send, or too long
};

enum Delivery : int {
    // A request of its own: only the answer under its identifier counts.
    delivery_request = 0,
    // Maybe another attempt of the message sent before (the same bytes): an
    // answer under the identifier of any earlier attempt is its answer too,
    // for that answer proves the write was carried out.
    delivery_repeat = 1,
    // To unit 0, which no server answers: sent, and not waited for; the
    // result is transaction_no_answer once it went out.
    delivery_broadcast = 2,
};

// Sends the checksum-less request in frame under the next transaction id and
// waits for its answer until one deadline, the time-out in use, has passed.
// On transaction_answered frame holds the answer; otherwise it still holds
// the request. A stream that loses its step closes the connection. Network
// worker thread only.
[[nodiscard]] int request_transaction(NetContext& ctx, FrameBuffer& frame,
                                      int delivery = delivery_request);

// Takes what the server sent between exchanges, when set marks the socket.
// An answer to an attempt of a message sent with delivery_repeat is kept for
// that message's next request_transaction, which then sends nothing; every
// other message is a late answer nobody waits for and is thrown away.
void transaction_drain(NetContext& ctx, const fd_set& set);

// Whether an answer to an earlier attempt of the message sent with
// delivery_repeat came between exchanges: its next request_transaction then
// returns it without sending.
[[nodiscard]] bool transaction_answer_waiting();

// The queued message whose attempts were remembered has left the queue
// (delivered, or counted so): an identical message after it is a write of
// its own, which no answer to the earlier one may answer.
void transaction_forget();
