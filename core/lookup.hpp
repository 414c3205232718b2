// Host-name lookups for the network worker, made on the main thread by an
// asynchronous resolver driven from its poll loop: a name server may take
// many seconds to answer, or never answer, and neither a worker nor the main
// thread (signals, the status file) may wait for it. One lookup runs at a
// time. This file pair is the only one that calls the resolver library.
#pragma once

#include <poll.h>

#include "net/link.hpp"

// The most descriptors one lookup waits on at once.
inline constexpr int lookup_wait_slots = 16;

// What the lookup under way waits for: its descriptors, put into waits
// (room for lookup_wait_slots), and its next time-out, by lowering
// timeout_ms (-1: no time-out yet). Returns how many descriptors it put.
[[nodiscard]] int lookup_waits(pollfd* waits, int& timeout_ms);

// Called after every wait of the main thread; asked tells that the worker's
// ask event was readable (it is emptied here). Lets the lookup under way go
// on with what its descriptors in waits reported, or with its time-outs;
// hands the address found (if any) back once it has ended; starts the
// lookup the worker asked for meanwhile.
void lookup_serve(NetContext& ctx, bool asked, const pollfd* waits, int count);
