#!/bin/bash
# Cache mode and idle costs, the daemon under test against the baseline in
# the same run (bench/cache_bench.cpp says what each measures):
#
#   bench/cache.sh wakeups            wake-ups/s and CPU, idle, both modes
#   bench/cache.sh outage [N ...]     CPU with N records waiting, server away
#   bench/cache.sh drain [N ...]      records/s from the stick, beside the ring
#   bench/cache.sh startup [N]        exec to first delivery, N records waiting
#   bench/cache.sh unreadable [S]     one record that never reads: CPU, mounts
#   bench/cache.sh durable [N]        a durable write behind N records draining
#   bench/cache.sh memory [N ...]     Private_Dirty with N records waiting
#
# As root. KORVANE_BUILD names the build (default build-bench/ in the
# repository, configured as a Release build when new); the baseline is
# KORVANE_OLD_BIN, else a build of commit KORVANE_BASELINE (bench/builds.sh).
set -euo pipefail
source "$(dirname "$0")/builds.sh"
build=${KORVANE_BUILD:-$bench_repo/build-bench}
bench_build "$build" cache_bench
KORVANE_OLD_BIN=$(baseline_daemon "$build") exec "$build/bench/cache_bench" "$@"
