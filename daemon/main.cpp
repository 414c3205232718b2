// korvane's entry point: prepares the process, reads the settings, builds
// the hand-over store of the configured mode, starts the serial and the
// network worker, then serves the network worker's host-name lookups, the
// signals and the status file. It takes no arguments.
#include <csignal>
#include <cstdlib>
#include <sys/prctl.h>
#include <unistd.h>

#include "core/log.hpp"
#include "daemon/main_thread.hpp"
#include "core/settings.hpp"
#include "net/forwarding.hpp"
#include "serial/worker.hpp"
#include "store/cache.hpp"
#include "store/fifo.hpp"
#include "store/ring.hpp"

static_assert((LOG_PID | LOG_NDELAY) == 9);
static_assert(LOG_DAEMON == 24);

namespace {

// The five long-lived records. They live as long as the process; the
// workers get their addresses and nothing is ever freed.
GatewaySettings settings;
RecordCache cache;
MessageRing ring;
SerialContext serial_context;
NetContext net_context;

[[noreturn]] void fail(const char* line)
{
    log_message(LOG_ERR, "%s", line);
    std::exit(1);
}

} // namespace

int main()
{
    setsid();
    signal(SIGPIPE, SIG_IGN);
    // Linux may fire a timer up to 50 us late to batch wake-ups; the split
    // gap is such a timer on every request. One nanosecond is the least the
    // kernel allows (0 would restore the default), and the threads started
    // later inherit it.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // Before any worker starts, so that they inherit the mask: signals are
    // the main thread's, and no worker call is ever cut short by one.
    main_thread_take_signals();
    log_open("korvane", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    log_message(LOG_NOTICE, "started");

    settings_load(settings);

    if (settings.cache_mode != 0) {
        if (cache_init(cache) != 0)
            fail("init cache has failed, exiting...");
    } else if (fifos_create() != 0) {
        fail("init fifos has failed, exiting...");
    }
    if (ring_init(ring, ring_slots) != 0)
        fail("init ring buffer has failed, exiting...");
    if (serial_init(settings, ring, serial_context) != 0)
        fail("init serial has failed, exiting...");
    if (tcp_init(settings, ring, cache, net_context) != 0)
        fail("init tcp has failed, exiting...");

    main_thread_run(settings, net_context);
}
