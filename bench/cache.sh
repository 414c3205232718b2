#!/bin/bash
# Cache-mode delivery rates: records waiting on the stick (100, 1,000 and
# 10,000 of them) delivered to a loopback server, beside the rate of writes
# that pass through the RAM ring alone, measured in the same run.
#
#   bench/cache.sh [BUILD_DIR] [N ...]      (as root)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${KORVANE_BUILD:-$repo/build-bench}}
shift || true
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 --target cache_bench >/dev/null 2>&1 || { echo "build failed" >&2; exit 1; }
"$build/bench/cache_bench" "$@"
