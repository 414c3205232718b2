// One request/answer exchange with the Modbus TCP server.
#pragma once

#include "net/link.hpp"

enum TransactionResult : int {
    transaction_answered = 0,   // frame holds the answer (unit id + PDU)
    transaction_no_answer = 1,  // time-out or connection lost while waiting
    transaction_not_sent = 2,   // no connection, failed send, or too long
};

// Sends the checksum-less request in frame under the next transaction id and
// waits up to the timeout setting for the answer carrying that id. On
// transaction_answered frame holds the answer; otherwise it still holds the
// request. Network worker thread only.
[[nodiscard]] int request_transaction(NetContext& ctx, FrameBuffer& frame);
