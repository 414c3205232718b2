#include "core/lookup.hpp"

#include <cstdint>
#include <unistd.h>

void lookup_serve_pending(NetContext& ctx)
{
    NameLookup& lookup = ctx.lookup;
    std::uint64_t wakes = 0;
    (void)!read(lookup.wake_fd, &wakes, sizeof wakes);
    // Asks that came while a lookup ran are served by one more.
    for (;;) {
        const std::uint32_t asked = lookup.asked.load(std::memory_order_relaxed);
        if (lookup.answered.load(std::memory_order_relaxed) == asked)
            return;
        const std::uint32_t address = tcp_resolve(ctx.settings->addr);
        if (address != 0)
            lookup.address.store(address, std::memory_order_relaxed);
        lookup.answered.store(asked, std::memory_order_release);
        const std::uint64_t one = 1;
        (void)!write(lookup.done_fd, &one, sizeof one);
    }
}
