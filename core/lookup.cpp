#include "core/lookup.hpp"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <unistd.h>

#include "core/log.hpp"

namespace {

// The summaries of log spells that ended must go out while every thread is
// idle; this thread wakes for them at least this often.
constexpr int log_tick_ms = 10000;

} // namespace

void lookup_serve(NetContext& ctx)
{
    NameLookup& lookup = ctx.lookup;
    for (;;) {
        pollfd wake{lookup.wake_fd, POLLIN, 0};
        const int ready = poll(&wake, 1, log_tick_ms);
        log_tick();
        if (ready == 0)
            continue;
        std::uint64_t wakes = 0;
        if (ready < 0 || read(lookup.wake_fd, &wakes, sizeof wakes) < 0) {
            // The eventfd cannot fail once made; should it, lookups wait
            // (the last address found stays in use) but nothing spins.
            if (errno != EINTR)
                sleep(log_tick_ms / 1000);
            continue;
        }
        // Asks that came while a lookup ran are served by one more.
        for (;;) {
            const std::uint32_t asked = lookup.asked.load(std::memory_order_relaxed);
            if (lookup.answered.load(std::memory_order_relaxed) == asked)
                break;
            const std::uint32_t address = tcp_resolve(ctx.settings->addr);
            if (address != 0)
                lookup.address.store(address, std::memory_order_relaxed);
            lookup.answered.store(asked, std::memory_order_release);
        }
    }
}
