#include "core/counters.hpp"

#include <cstdarg>
#include <cstdio>

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

Counters counters;

namespace {

// The sum of every round trip counted and how many: the mean is exact. A
// running mean in 32 bits loses the remainder of each step and drifts.
// The network worker is the only writer.
std::uint64_t round_trips_sum_us = 0;
std::uint64_t round_trips = 0;

} // namespace

void count_round_trip(std::uint32_t microseconds)
{
    round_trips_sum_us += microseconds;
    round_trips += 1;
    set_counter(counters.server_rtt_last_us, microseconds);
    set_counter(counters.server_rtt_mean_us, static_cast<std::uint32_t>(round_trips_sum_us / round_trips));
    if (microseconds > counters.server_rtt_max_us.load(std::memory_order_relaxed))
        set_counter(counters.server_rtt_max_us, microseconds);
}

namespace {

struct Entry {
    const char* key;
    const Counter* counter;
};

const Entry line_entries[] = {
    {"LINE_FRAMES", &counters.line_frames},
    {"LINE_BAD_CRC", &counters.line_bad_crc},
    {"LINE_OTHER_SLAVES", &counters.line_other_slaves},
    {"LINE_BROADCASTS", &counters.line_broadcasts},
    {"LINE_ANSWERS", &counters.line_answers},
    {"LINE_EXCEPTIONS_1", &counters.line_exception_1},
    {"LINE_EXCEPTIONS_3", &counters.line_exception_3},
    {"LINE_EXCEPTIONS_4", &counters.line_exception_4},
    {"LINE_EXCEPTIONS_10", &counters.line_exception_10},
    {"LINE_EXCEPTIONS_11", &counters.line_exception_11},
    {"LINE_STALE_DROPPED", &counters.line_stale_dropped},
    {"LINE_ECHOES_DROPPED", &counters.line_echoes_dropped},
    {"SERVER_CONNECTED", &counters.server_connected},
    {"SERVER_CONNECTED_SINCE", &counters.server_connected_since},
    {"SERVER_CONNECTS", &counters.server_connects},
    {"SERVER_LOST", &counters.server_lost},
    {"SERVER_EXCHANGES", &counters.server_exchanges},
    {"SERVER_ANSWERED", &counters.server_answered},
    {"SERVER_TIMEOUTS", &counters.server_timeouts},
    {"SERVER_LATE_DROPPED", &counters.server_late_dropped},
    {"SERVER_RTT_LAST_US", &counters.server_rtt_last_us},
    {"SERVER_RTT_MEAN_US", &counters.server_rtt_mean_us},
    {"SERVER_RTT_MAX_US", &counters.server_rtt_max_us},
};

const Entry tls_entries[] = {
    {"TLS_HANDSHAKES", &counters.tls_handshakes},
    {"TLS_RESUMED", &counters.tls_resumed},
    {"TLS_FAILURES", &counters.tls_failures},
};

const Entry cache_entries[] = {
    {"CACHE_ACKNOWLEDGED", &counters.cache_acknowledged},
    {"CACHE_REFUSED", &counters.cache_refused},
    {"CACHE_STORED", &counters.cache_stored},
    {"CACHE_DELIVERED", &counters.cache_delivered},
    {"CACHE_WAITING", &counters.cache_waiting},
    {"CACHE_RING", &counters.cache_ring},
    {"CACHE_READ_ERRORS", &counters.cache_read_errors},
    {"CACHE_PASSED_OVER", &counters.cache_passed_over},
};

const Entry log_entries[] = {
    {"LOG_DROPPED", &counters.log_dropped},
    {"LOG_LEFT_OUT", &counters.log_left_out},
};

const char* const stick_names[] = {"mounted", "missing", "read-only"};

// Appends to out as snprintf would, never past size.
__attribute__((format(printf, 4, 5)))
void append(char* out, std::size_t size, std::size_t& used, const char* format, ...)
{
    if (used >= size)
        return;
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(out + used, size - used, format, arguments);
    va_end(arguments);
    if (written > 0)
        used = used + static_cast<std::size_t>(written) < size ? used + static_cast<std::size_t>(written) : size - 1;
}

template <std::size_t N>
void append_entries(char* out, std::size_t size, std::size_t& used, const Entry (&entries)[N], const char* between)
{
    for (const Entry& entry : entries)
        append(out, size, used, "%s=%u%s", entry.key,
               static_cast<unsigned>(entry.counter->load(std::memory_order_relaxed)), between);
}

} // namespace

std::size_t counters_text(char* out, std::size_t size, bool one_line, bool cache_mode, std::uint32_t uptime_s)
{
    const char* between = one_line ? " " : "\n";
    std::size_t used = 0;
    out[0] = '\0';
    append(out, size, used, "VERSION=%s%sMODE=%s%sUPTIME=%u%s", KORVANE_VERSION, between,
           cache_mode ? "cache" : "direct", between, static_cast<unsigned>(uptime_s), between);
    append_entries(out, size, used, line_entries, between);
    if (counters.tls_on.load(std::memory_order_relaxed) != 0)
        append_entries(out, size, used, tls_entries, between);
    if (cache_mode) {
        append_entries(out, size, used, cache_entries, between);
        const std::uint32_t stick = counters.cache_stick.load(std::memory_order_relaxed);
        append(out, size, used, "CACHE_STICK=%s%s", stick_names[stick <= stick_read_only ? stick : stick_missing],
               between);
    }
    append_entries(out, size, used, log_entries, between);
    if (one_line && used > 0 && out[used - 1] == ' ')
        out[--used] = '\0';
    return used;
}
