#!/bin/bash
# Round-trip latency of one read-holding-registers through korvane in direct
# mode (RTU master -> pty -> korvane -> Modbus TCP server -> back), against
# the same request sent straight to a server over TCP in the same run, for
# split gaps of 0, 2 and 5 ms. Runs the daemon in a private world (mount,
# network and pid namespaces): nothing shows on the host.
#
#   bench/latency.sh [BUILD_DIR]        (as root)
#
# BUILD_DIR defaults to $KORVANE_BUILD or build-bench/ in the repository; a
# new one is configured as a Release build. COUNT (default 1000) sets the
# number of samples per path and split.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)

# world_setup and wait_for
source "$repo/scripts/world.sh"

inside() {
    local build=$1 count=$2
    local peers=$build/tests/peers work=/run/bench
    world_setup
    mkdir -p $work
    "$peers/syslog_sink" /dev/log $work/syslog > $work/sink.ready &
    wait_for 5 test -s $work/sink.ready
    # One server for korvane, one for the direct baseline: each serves one
    # client at a time.
    "$peers/modbus_server" --listen 127.0.0.1:1502 &
    "$peers/modbus_server" --listen 127.0.0.1:1503 &

    printf '%-6s %10s %9s %10s %9s %10s %9s %7s %9s\n' split gw_med gw_p99 tcp_med tcp_p99 \
        added_med added_p99 gw/tcp ex_split
    local split
    for split in 0 2 5; do
        cat > /opt/korvane/etc/settings <<EOF
MOD_KORVANE_ENABLED="1"
MOD_KORVANE_DEVICE="ttyUSB0"
MOD_KORVANE_BAUDRATE="115200"
MOD_KORVANE_PARITY="N"
MOD_KORVANE_SPLIT="$split"
MOD_KORVANE_ADDR="127.0.0.1"
MOD_KORVANE_PORT="1502"
MOD_KORVANE_TIMEOUT="1000"
MOD_KORVANE_CACHE_MODE="0"
EOF
        rm -f /dev/ttyUSB0 /run/lock/LCK..ttyUSB0 $work/out
        "$build/bench/roundtrip" --link /dev/ttyUSB0 --tcp 127.0.0.1:1503 --count "$count" > $work/out &
        local client=$!
        wait_for 5 test -s $work/out
        "$build/korvane" &
        local daemon=$!
        local status=0
        wait $client || status=$?
        kill $daemon; wait $daemon 2>/dev/null || true
        local line; line=$(tail -n 1 $work/out)
        if [ $status -ne 0 ]; then
            echo "split $split: run failed: $line" >&2
            grep -a korvane $work/syslog | tail -n 5 >&2 || true
            return 1
        fi
        # gateway_median_us G gateway_p99_us G99 direct_median_us D direct_p99_us D99 lost L
        echo "$line" | awk -v gap="$split" '{
            g=$2; g99=$4; d=$6; d99=$8; s=gap*1000;
            printf "%-6s %8.0fus %7.0fus %8.0fus %7.0fus %8.0fus %7.0fus %6.1fx %8.1fx\n",
                   gap "ms", g, g99, d, d99, g - d - s, g99 - d99 - s, g / d, (g - s) / d }'
    done
    echo
    echo "gw:  RTU master -> pty -> korvane -> Modbus TCP server -> back (read 1 holding register)"
    echo "tcp: the same request straight to a second server over TCP, interleaved with gw"
    echo "added = gw - tcp - split (medians, and p99s); gw/tcp = ratio of medians;"
    echo "ex_split = (gw median - split) / tcp median; $count samples per path and split."
}

if [ "${1:-}" = "--inside" ]; then
    inside "$2" "$3"
    exit
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "bench/latency.sh needs root (mount and network namespaces)" >&2
    exit 1
fi
build=${1:-${KORVANE_BUILD:-$repo/build-bench}}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release > "$build.cmake.log" 2>&1 ||
        { cat "$build.cmake.log" >&2; exit 1; }
fi
cmake --build "$build" -j2 --target korvane modbus_server syslog_sink > /dev/null
mkdir -p "$build/bench"
g++ -std=c++20 -O2 -Wall -Wextra -o "$build/bench/roundtrip" "$repo/bench/roundtrip.cpp"

echo "korvane direct-mode round trip, $(uname -m), $(nproc) cores, build ${build}"
exec unshare --mount --propagation private --net --pid --fork --mount-proc \
    "$0" --inside "$build" "${COUNT:-1000}"
