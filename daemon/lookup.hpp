// Host-name lookups for the network worker, made on the main thread by an
// asynchronous resolver driven from its poll loop: a name server may take
// many seconds to answer, or never answer, and neither a worker nor the main
// thread (signals, the status file) may wait for it. One lookup runs at a
// time. This file pair is the only one that calls the resolver library.
#pragma once

#include <poll.h>

#include "net/link.hpp"

// Room a main thread's poll set keeps for lookups: the worker's ask event
// and the most descriptors one lookup waits on at once.
inline constexpr int lookup_wait_slots = 1 + 16;

// What lookups wait for: the ask event and the descriptors of the lookup
// under way, put into waits (room for lookup_wait_slots), and its next
// time-out, by lowering timeout_ms (-1: none yet). Returns how many it put.
[[nodiscard]] int lookup_waits(const NetContext& ctx, pollfd* waits, int& timeout_ms);

// Called after every wait of the main thread with what lookup_waits put
// there: takes the worker's asks, lets the lookup under way go on with what
// its descriptors reported, or with its time-outs, hands the address found
// (if any) back once it has ended, and starts the lookup asked for meanwhile.
void lookup_serve(NetContext& ctx, const pollfd* waits, int count);
