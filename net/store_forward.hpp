// The cache-mode network worker: delivers queued writes in order of arrival,
// flash records first, and moves the ring onto the stick while delivery fails.
#pragma once

#include "net/link.hpp"

[[noreturn]] void store_forward_worker(NetContext& ctx);
