#include "daemon/main_thread.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "core/counters.hpp"
#include "core/log.hpp"
#include "daemon/lookup.hpp"
#include "store/ring.hpp"

namespace {

// How often the status file is written afresh.
constexpr std::int64_t status_period_s = 10;
constexpr const char* status_temporary_path = "/var/run/korvane/status.tmp";
// Room for every counter as a KEY=value line.
constexpr std::size_t status_size = 2048;

std::int64_t monotonic_s()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

sigset_t taken_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// Written whole or not at all: readers (a web page, a firmware script) see
// the old file or the new one, never half of one.
void write_status(const char* text, std::size_t length, bool& failing)
{
    const int fd = open(status_temporary_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool written = fd >= 0 && write(fd, text, length) == static_cast<ssize_t>(length);
    if (fd >= 0)
        written = close(fd) == 0 && written;
    written = written && rename(status_temporary_path, status_path) == 0;
    if (!written) {
        if (!failing)
            log_message(LOG_ERR, "status file cannot be written (%s)", std::strerror(errno));
        (void)unlink(status_temporary_path);
    }
    failing = !written;
}

// Without a signal descriptor the signals wait, blocked, until the main
// thread looks for them: this often.
constexpr int signal_look_ms = 100;

// The signal taken after a wait, or 0.
int take_signal(int signals, const pollfd& wait)
{
    if (signals < 0) {
        const sigset_t set = taken_signals();
        const timespec none{};
        const int taken = sigtimedwait(&set, nullptr, &none);
        return taken > 0 ? taken : 0;
    }
    signalfd_siginfo taken{};
    if ((wait.revents & POLLIN) == 0 || read(signals, &taken, sizeof taken) != sizeof taken)
        return 0;
    return static_cast<int>(taken.ssi_signo);
}

// The time an orderly stop may take: a service manager waits a few seconds
// more before it kills.
constexpr int stop_wait_ms = 4500;

// SIGTERM or SIGINT. Direct mode holds nothing: it ends at once. Cache mode
// puts what the ring holds on the stick first.
[[noreturn]] void stop(NetContext& net, bool cache_mode)
{
    if (!cache_mode) {
        log_message(LOG_NOTICE, "stopped");
        std::exit(0);
    }
    // Before the worker hears of it: a write that comes from now on is
    // refused (exception 4), never acknowledged and then lost.
    (void)ring_close(*net.ring);
    const std::uint64_t one = 1;
    (void)!write(net.stop_fd, &one, sizeof one);
    pollfd stopped{net.stopped_fd, POLLIN, 0};
    if (poll(&stopped, 1, stop_wait_ms) != 1) {
        log_message(LOG_ERR, "stopped, the stick did not take the messages in time, %u lost",
                    static_cast<unsigned>(counters.cache_ring.load(std::memory_order_relaxed)));
        std::exit(0);
    }
    const unsigned kept = net.stop_kept.load(std::memory_order_relaxed);
    const unsigned lost = net.stop_lost.load(std::memory_order_relaxed);
    if (lost == 0)
        log_message(LOG_NOTICE, "stopped, %u messages kept on the stick", kept);
    else
        log_message(LOG_ERR, "stopped, %u messages kept on the stick, %u lost", kept, lost);
    std::exit(0);
}

} // namespace

void main_thread_take_signals()
{
    const sigset_t set = taken_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void main_thread_run(const GatewaySettings& settings, NetContext& net)
{
    const sigset_t set = taken_signals();
    const int signals = signalfd(-1, &set, SFD_CLOEXEC);
    if (signals < 0)
        log_message(LOG_ERR, "signal descriptor cannot be made (%s), signals are looked for every %d ms",
                    std::strerror(errno), signal_look_ms);
    const std::int64_t started = monotonic_s();
    std::int64_t next_status = started;
    bool status_failing = false;
    char text[status_size];
    const bool cache_mode = settings.cache_mode != 0;
    for (;;) {
        std::int64_t now = monotonic_s();
        if (now >= next_status) {
            const std::size_t length = counters_text(text, sizeof text, false,
                                                     cache_mode, static_cast<std::uint32_t>(now - started));
            write_status(text, length, status_failing);
            // Spells of repeated log lines that ended are told now, while
            // every thread may be idle.
            log_tick();
            next_status = now + status_period_s;
        }
        pollfd waits[1 + lookup_wait_slots] = {{signals, POLLIN, 0}};
        int timeout_ms = static_cast<int>((next_status - now) * 1000);
        if (signals < 0 && timeout_ms > signal_look_ms)
            timeout_ms = signal_look_ms;
        const int lookups = lookup_waits(net, waits + 1, timeout_ms);
        if (poll(waits, static_cast<nfds_t>(1 + lookups), timeout_ms) < 0)
            for (pollfd& wait : waits)
                wait.revents = 0;
        lookup_serve(net, waits + 1, lookups);
        const int signal = take_signal(signals, waits[0]);
        if (signal == SIGTERM || signal == SIGINT)
            stop(net, cache_mode);
        if (signal == SIGUSR1) {
            now = monotonic_s();
            counters_text(text, sizeof text, true, cache_mode, static_cast<std::uint32_t>(now - started));
            log_message(LOG_NOTICE, "statistics: %s", text);
            next_status = now;
        }
    }
}
