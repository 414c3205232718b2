#include "daemon/lookup.hpp"

#include <ares.h>
#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <netdb.h>
#include <unistd.h>

#include "core/log.hpp"

static_assert(lookup_wait_slots == 1 + ARES_GETSOCK_MAXNUM);

namespace {

// The lookup under way; its single user is the main thread.
struct Running {
    ares_channel channel;  // nullptr when the lookup could not start
    const char* host;
    std::uint32_t ask;      // the worker's ask count this lookup answers
    std::uint32_t address;  // the first IPv4 address found, host order; 0: none
    bool active;            // started and not yet handed back
    bool ended;             // the resolver has called back
};
Running running{};
bool library_ready = false;

// The hosts file before the name servers, whatever nsswitch.conf says: the
// order of glibc's and musl's usual configurations, and what a device with
// a name for its server in /etc/hosts counts on.
char hosts_then_dns[] = "fb";

void host_found(void* arg, int status, int /*timeouts*/, hostent* entry)
{
    Running& lookup = *static_cast<Running*>(arg);
    lookup.ended = true;
    if (status != ARES_SUCCESS) {
        log_message(LOG_WARNING, "error resolving hostname %s", lookup.host);
        return;
    }
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list == nullptr ||
        entry->h_addr_list[0] == nullptr)
        return;
    in_addr address;
    std::memcpy(&address, entry->h_addr_list[0], sizeof address);
    lookup.address = ntohl(address.s_addr);
}

void start(const char* host, std::uint32_t ask)
{
    running = Running{nullptr, host, ask, 0, true, true};
    int status = library_ready ? ARES_SUCCESS : ares_library_init(ARES_LIB_INIT_ALL);
    library_ready = status == ARES_SUCCESS;
    // A channel of its own for each lookup reads resolv.conf afresh: it may
    // have changed since the last attempt (a DHCP lease, a new uplink).
    ares_options options{};
    options.lookups = hosts_then_dns;
    if (status == ARES_SUCCESS)
        status = ares_init_options(&running.channel, &options, ARES_OPT_LOOKUPS);
    if (status != ARES_SUCCESS) {
        running.channel = nullptr;
        log_message(LOG_ERR, "name lookup cannot start (%s)", ares_strerror(status));
        return;
    }
    running.ended = false;
    // The hosts file answers within this call.
    ares_gethostbyname(running.channel, host, AF_INET, host_found, &running);
}

void hand_back(NameLookup& lookup)
{
    if (running.channel != nullptr)
        ares_destroy(running.channel);
    running.active = false;
    if (running.address != 0)
        lookup.address.store(running.address, std::memory_order_relaxed);
    lookup.answered.store(running.ask, std::memory_order_release);
    const std::uint64_t one = 1;
    (void)!write(lookup.done_fd, &one, sizeof one);
}

} // namespace

int lookup_waits(const NetContext& ctx, pollfd* waits, int& timeout_ms)
{
    waits[0] = pollfd{ctx.lookup.wake_fd, POLLIN, 0};
    if (!running.active || running.ended)
        return 1;
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int bits = ares_getsock(running.channel, sockets, ARES_GETSOCK_MAXNUM);
    int count = 1;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        short events = ARES_GETSOCK_READABLE(bits, i) ? POLLIN : 0;
        if (ARES_GETSOCK_WRITABLE(bits, i))
            events |= POLLOUT;
        if (events != 0)
            waits[count++] = pollfd{sockets[i], events, 0};
    }
    timeval left{};
    if (const timeval* next = ares_timeout(running.channel, nullptr, &left)) {
        const int ms = static_cast<int>(next->tv_sec * 1000 + (next->tv_usec + 999) / 1000);
        if (timeout_ms < 0 || ms < timeout_ms)
            timeout_ms = ms;
    }
    return count;
}

void lookup_serve(NetContext& ctx, const pollfd* waits, int count)
{
    NameLookup& lookup = ctx.lookup;
    if ((waits[0].revents & POLLIN) != 0) {
        std::uint64_t asks = 0;
        (void)!read(lookup.wake_fd, &asks, sizeof asks);
    }
    if (running.active && !running.ended) {
        // Without a ready descriptor the call still ends queries whose time
        // is up and sends their next tries.
        bool ready = false;
        for (int i = 1; i < count && !running.ended; ++i) {
            const short seen = waits[i].revents;
            if (seen == 0)
                continue;
            ready = true;
            ares_process_fd(running.channel, (seen & (POLLIN | POLLERR | POLLHUP)) != 0 ? waits[i].fd : ARES_SOCKET_BAD,
                            (seen & POLLOUT) != 0 ? waits[i].fd : ARES_SOCKET_BAD);
        }
        if (!ready)
            ares_process_fd(running.channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    }
    // Asks that came while a lookup ran are served by one more.
    for (;;) {
        if (running.active && !running.ended)
            return;
        if (running.active)
            hand_back(lookup);
        const std::uint32_t wanted = lookup.asked.load(std::memory_order_relaxed);
        if (lookup.answered.load(std::memory_order_relaxed) == wanted)
            return;
        start(ctx.settings->addr, wanted);
    }
}
