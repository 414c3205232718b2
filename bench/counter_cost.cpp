// counter_cost: what counting one event costs korvane, in nanoseconds, beside
// a plain (non-atomic) increment measured in the same run: alone, and with a
// second thread counting into the same record, as the serial and the network
// worker do.
//
//   counter_cost [EVENTS]      (default 100000000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "core/counters.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double ns_per_event(Clock::time_point begin, unsigned long events)
{
    return std::chrono::duration<double, std::nano>(Clock::now() - begin).count() / static_cast<double>(events);
}

} // namespace

int main(int argc, char** argv)
{
    const unsigned long events = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000000UL;

    volatile std::uint32_t plain = 0;
    auto begin = Clock::now();
    for (unsigned long i = 0; i < events; ++i)
        plain = plain + 1;
    const double baseline = ns_per_event(begin, events);

    begin = Clock::now();
    for (unsigned long i = 0; i < events; ++i)
        count(counters.line_frames);
    const double alone = ns_per_event(begin, events);

    // The other worker counts its own events in the same record meanwhile.
    begin = Clock::now();
    std::thread other([events] {
        for (unsigned long i = 0; i < events; ++i)
            count(counters.server_exchanges);
    });
    for (unsigned long i = 0; i < events; ++i)
        count(counters.line_answers);
    other.join();
    const double shared = ns_per_event(begin, events);

    std::printf("%-34s %8s %8s\n", "increment", "ns", "vs plain");
    std::printf("%-34s %8.2f %8.2f\n", "plain (baseline)", baseline, 1.0);
    std::printf("%-34s %8.2f %8.2f\n", "counter, one thread", alone, alone / baseline);
    std::printf("%-34s %8.2f %8.2f\n", "counter, two threads counting", shared, shared / baseline);
    return 0;
}
