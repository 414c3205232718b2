// What korvane has done since it started, for the operator: one record of
// plain atomic counters, bumped where each event is found. Counting takes no
// lock and allocates nothing; every field is 32 bits, which every processor
// korvane runs on updates without a lock. Like the log sender, every layer
// may include this.
#pragma once

#include <atomic>
#include <cstdint>

using Counter = std::atomic<std::uint32_t>;

enum StickState : std::uint32_t { stick_mounted = 0, stick_missing = 1, stick_read_only = 2 };

struct Counters {
    // The serial line.
    Counter line_frames;         // frames gathered from the line
    Counter line_bad_crc;
    Counter line_other_slaves;   // requests the slave filter dropped
    Counter line_broadcasts;
    Counter line_answers;        // frames sent on the line, exceptions included
    Counter line_exception_1;
    Counter line_exception_3;
    Counter line_exception_4;
    Counter line_exception_10;
    Counter line_exception_11;
    Counter line_stale_dropped;  // answers that came after a newer request
    Counter line_echoes_dropped; // our own answers handed back by the bus
    // The server.
    Counter server_connected;        // 1 while a connection is up
    Counter server_connected_since;  // wall-clock seconds of that connect
    Counter server_connects;
    Counter server_lost;             // connections given up
    Counter server_exchanges;        // requests sent
    Counter server_answered;
    Counter server_timeouts;         // no answer in time
    Counter server_late_dropped;     // answers nobody waited for any more
    Counter server_rtt_last_us;
    Counter server_rtt_mean_us;
    Counter server_rtt_max_us;
    // The secure link, listed only while it is on.
    Counter tls_on;              // 1: MOD_KORVANE_TLS is set
    Counter tls_handshakes;      // full handshakes that ended with a verified server
    Counter tls_resumed;         // handshakes that resumed an earlier session
    Counter tls_failures;        // handshakes that failed, whatever the reason
    // Cache mode.
    Counter cache_acknowledged;  // writes answered as taken
    Counter cache_refused;       // writes answered with exception 4
    Counter cache_stored;        // records put on the stick
    Counter cache_delivered;     // messages the server answered
    Counter cache_waiting;       // records on the stick
    Counter cache_ring;          // messages in the ring
    Counter cache_stick;         // a StickState
    Counter cache_read_errors;   // reads of a record that failed on a stick still there
    Counter cache_passed_over;   // records given up on: unreadable for long, or no request
    // The log.
    Counter log_dropped;         // lines the log socket did not take
    Counter log_left_out;        // lines the repeat limit left out
};

extern Counters counters;

inline void count(Counter& counter, std::uint32_t by = 1)
{
    counter.fetch_add(by, std::memory_order_relaxed);
}

inline void set_counter(Counter& counter, std::uint32_t value)
{
    counter.store(value, std::memory_order_relaxed);
}

// A round trip of an answered exchange: last, running mean, largest. The
// network worker is the only writer.
void count_round_trip(std::uint32_t microseconds);

// Every counter as "KEY=value" lines (status file) or as one line (the
// SIGUSR1 log line), with the mode, the uptime and the version; the text
// written into out (always terminated), its length returned.
std::size_t counters_text(char* out, std::size_t size, bool one_line, bool cache_mode,
                          std::uint32_t uptime_s);
