// The main thread's work once the workers run: host-name lookups for the
// network worker, which must never wait on a name server itself.
#pragma once

#include "net/link.hpp"

// Serves the network worker's lookups for the life of the process: each one
// asked for is made, and the address found (if any) handed back.
[[noreturn]] void lookup_serve(NetContext& ctx);
