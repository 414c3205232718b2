// The network side's start-up for both modes, and the direct-mode worker
// that forwards each request from the request pipe to the server and puts
// the answer, or a gateway exception, into the response pipe.
#pragma once

#include "net/link.hpp"

// Fills ctx, opens the network ends of the pipes (direct mode) and starts
// the one network worker thread. 0 when it runs; 1 after logging a failure.
[[nodiscard]] int tcp_init(const GatewaySettings& settings, MessageRing& ring, RecordCache& cache,
                           NetContext& ctx);

[[noreturn]] void forwarding_worker(NetContext& ctx);
