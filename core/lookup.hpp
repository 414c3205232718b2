// Host-name lookups for the network worker, made on the main thread: the
// resolver may wait on a name server for many seconds, and no worker may.
#pragma once

#include "net/link.hpp"

// Makes every lookup the worker asked for since the last call, and hands
// the address found (if any) back. Called when the lookup event is readable.
void lookup_serve_pending(NetContext& ctx);
