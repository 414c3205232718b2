// The main thread's work once the workers run: host-name lookups, the
// signals (every other thread blocks them), and the status file.
#pragma once

#include "net/link.hpp"

inline constexpr const char* status_path = "/var/run/korvane/status";

// Blocks the signals the main thread takes, in the calling thread and every
// thread started after: call before the workers start.
void main_thread_take_signals();

// Serves lookups, signals and the status file for the life of the process.
[[noreturn]] void main_thread_run(const GatewaySettings& settings, NetContext& net);
