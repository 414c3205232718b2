#!/bin/bash
# Round trips through korvane (bench/roundtrip.cpp), each against the same
# request sent straight to a Modbus TCP server in the same run. Runs the
# daemon in a private world (mount, network and pid namespaces): nothing
# shows on the host.
#
#   bench/latency.sh [BUILD_DIR]       direct mode, read one holding register,
#                                      for split gaps of 0, 2 and 5 ms, beside
#                                      a bare relay (bench/relay.cpp) on the
#                                      same line and server: the floor; and
#                                      the relay with korvane's two threads
#                                      and pipes: what the hand-overs cost
#   bench/latency.sh tls [BUILD_DIR]   direct mode at split 0 over TLS against
#                                      plain TCP, both through a socat relay
#                                      in front of the server (OPENSSL-LISTEN
#                                      and TCP-LISTEN): the round trip each
#                                      adds, and their ratio
#   bench/latency.sh ack [BUILD_DIR]   cache mode: how long the master waits
#                                      for a write's acknowledgement, durable
#                                      off and on, server up and away, beside
#                                      direct mode's round trip of that write
#
# As root. BUILD_DIR defaults to $KORVANE_BUILD or build-bench/ in the
# repository; a new one is configured as a Release build. COUNT (default
# 1000) sets the number of samples per path and case.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)

# world_setup and wait_for
source "$repo/scripts/world.sh"

# run_case REQUEST SPLIT PAUSE SETTINGS [VAR=value ...]: a fresh daemon with
# these settings lines (after the common ones) and environment, timed by
# roundtrip (PAUSE ms before each request) on an empty stick. Sets $result to roundtrip's figures and $counters to
# the daemon's statistics; fails, after its last log lines, when a request
# went unanswered or was answered wrongly.
run_case() {
    local request=$1 split=$2 pause=$3 extra=$4
    shift 4
    cat > /opt/korvane/etc/settings <<SETTINGS
MOD_KORVANE_ENABLED="1"
MOD_KORVANE_DEVICE="ttyUSB0"
MOD_KORVANE_BAUDRATE="115200"
MOD_KORVANE_PARITY="N"
MOD_KORVANE_SPLIT="$split"
MOD_KORVANE_ADDR="127.0.0.1"
MOD_KORVANE_PORT="${server_port:-1502}"
MOD_KORVANE_TIMEOUT="1000"
$extra
SETTINGS
    rm -rf /dev/ttyUSB0 /run/lock/LCK..ttyUSB0 $work/out /run/korvane/flash/cache
    "$build/bench/roundtrip" --link /dev/ttyUSB0 --tcp 127.0.0.1:1503 --count "$count" \
        --request "$request" --pause-ms "$pause" > $work/out &
    local client=$!
    wait_for 5 test -s $work/out
    env "$@" "${gateway[@]}" &
    local daemon=$!
    local status=0
    wait $client || status=$?
    kill -USR1 $daemon 2>/dev/null || true
    wait_for 5 grep -qa "korvane\[$daemon\]: statistics" $work/syslog || true
    kill $daemon 2>/dev/null || true
    wait $daemon 2>/dev/null || true
    result=$(tail -n 1 $work/out)
    counters=$(grep -a "korvane\[$daemon\]: statistics" $work/syslog | tail -n 1 | sed 's/.*statistics: //')
    if [ $status -ne 0 ]; then
        echo "run failed: $result" >&2
        grep -a "korvane\[$daemon\]" $work/syslog | tail -n 5 >&2 || true
    fi
    return $status
}

# listening PORT: whether a socket of this world listens on 127.0.0.1:PORT.
listening() {
    grep -q "0100007F:$(printf %04X "$1") 00000000:0000 0A" /proc/net/tcp
}

splits() {
    printf '%-6s %10s %9s %10s %9s %11s %10s %9s %9s %9s %9s %11s %10s %9s %9s\n' split tcp_med tcp_p99 \
        added_med added_p99 relay_med relay_p99 x_med x_p99 over_med over_p99 \
        relay2_med relay2_p99 over2_med over2_p99
    local split figures relay
    for split in 0 2 5; do
        gateway=("$build/korvane")
        run_case read $split 0 'MOD_KORVANE_CACHE_MODE="0"' || return 1
        figures=$result
        gateway=("$build/bench/relay" --device /dev/ttyUSB0 --server 127.0.0.1:1502 --split "$split")
        run_case read $split 0 'MOD_KORVANE_CACHE_MODE="0"' || return 1
        relay=$result
        gateway+=(--threads 1)
        run_case read $split 0 'MOD_KORVANE_CACHE_MODE="0"' || return 1
        # gateway_median_us G gateway_p99_us G99 direct_median_us D direct_p99_us D99 lost L, three times
        echo "$figures $relay $result" | awk -v gap="$split" '{
            s=gap*1000; a=$2-$6-s; a99=$4-$8-s; r=$12-$16-s; r99=$14-$18-s; t=$22-$26-s; t99=$24-$28-s;
            printf "%-6s %8.0fus %7.0fus %8.0fus %7.0fus %9.0fus %8.0fus %8.2fx %8.2fx %7.0fus %7.0fus %9.0fus %8.0fus %7.0fus %7.0fus\n",
                   gap "ms", $6, $8, a, a99, r, r99, (r > 0 ? a / r : 0), (r99 > 0 ? a99 / r99 : 0), a - r, a99 - r99,
                   t, t99, a - t, a99 - t99 }'
    done
    echo
    echo "korvane: RTU master -> pty -> korvane -> Modbus TCP server -> back (read 1 holding register)"
    echo "relay:   the same through bench/relay (one thread, no checks, no pipes): the floor"
    echo "relay2:  bench/relay --threads 1: the TCP side in a second thread, a pipe each way, as korvane"
    echo "tcp:     the same request straight to a second server over TCP, interleaved with each"
    echo "added = round trip - tcp - split (medians, and p99s), for korvane and for the relays;"
    echo "x = korvane's added / the relay's added; over = korvane's added - the relay's;"
    echo "over2 = korvane's added - relay2's."
    echo "$count samples per path and split."
}

# One write case of acks: its figures and counters become a line of $table.
# A write answered otherwise or not at all is reported, and the rest runs.
# 1 ms before each request lets the daemon finish with the one before.
ack_case() {
    local what=$1
    shift
    gateway=("$build/korvane")
    run_case write 0 1 "$@" || true
    printf '%s|%s|%s\n' "$what" "$result" "$counters" >> "$table"
}

acks() {
    local server=$1 cache='MOD_KORVANE_CACHE_MODE="1"'
    local durable=$'MOD_KORVANE_CACHE_MODE="1"\nMOD_KORVANE_DURABLE="1"'
    # The stick: a directory of the world's /run, a tmpfs, that the stand-in
    # reports as mounted already.
    local standin=(LD_PRELOAD="$build/tests/standin/libboard_standin.so" KORVANE_STANDIN_MOUNT=EBUSY)
    mkdir -p /run/korvane/flash
    table=$work/acks
    : > "$table"
    ack_case "direct mode, server up" 'MOD_KORVANE_CACHE_MODE="0"'
    ack_case "cache, durable off, server up" "$cache" "${standin[@]}"
    ack_case "cache, durable on, server up" "$durable" "${standin[@]}"
    kill "$server"; wait "$server" 2>/dev/null || true
    ack_case "cache, durable off, server away" "$cache" "${standin[@]}"
    ack_case "cache, durable on, server away (tmpfs)" "$durable" "${standin[@]}"
    awk -v count="$count" -f "$repo/bench/ack_table.awk" \
        -v stick="The stick is a tmpfs: its syncs cost nothing (a real stick: 7 to 28 ms each)." "$table"
}

# The same reads through a relay in front of the server: plain TCP, then
# TLS (a P-256 certificate, session resumption), alternately, three runs
# each; the medians of the runs' medians.
secure_rounds() {
    local tls=$work/tls
    mkdir -p $tls
    (cd $tls && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=bench \
        -addext subjectAltName=IP:127.0.0.1 -keyout server.key -out server.pem 2>/dev/null)
    socat TCP-LISTEN:1504,bind=127.0.0.1,reuseaddr,fork TCP:127.0.0.1:1502 &
    socat OPENSSL-LISTEN:1802,bind=127.0.0.1,reuseaddr,fork,cert=$tls/server.pem,key=$tls/server.key,verify=0 \
        TCP:127.0.0.1:1502 2>/dev/null &
    wait_for 5 listening 1504
    wait_for 5 listening 1802
    local secure="MOD_KORVANE_CACHE_MODE=\"0\"
MOD_KORVANE_TLS=\"1\"
MOD_KORVANE_TLS_CA=\"$tls/server.pem\""
    local plain=() over=() tcp=()
    for _ in 1 2 3; do
        server_port=1504 run_case read 0 0 'MOD_KORVANE_CACHE_MODE="0"' || return 1
        plain+=("$(echo "$result" | awk '{print $2}')")
        tcp+=("$(echo "$result" | awk '{print $6}')")
        server_port=1802 run_case read 0 0 "$secure" || return 1
        over+=("$(echo "$result" | awk '{print $2}')")
        # Only a daemon that went through a TLS handshake counts.
        grep -q 'TLS_HANDSHAKES=1 ' <<<"$counters " || { echo "the TLS run made no handshake" >&2; return 1; }
    done
    median3() { printf '%s\n' "$@" | sort -n | sed -n 2p; }
    local p t d
    p=$(median3 "${plain[@]}") t=$(median3 "${over[@]}") d=$(median3 "${tcp[@]}")
    awk -v p="$p" -v t="$t" -v d="$d" -v count="$count" 'BEGIN {
        printf "%-34s %10s %12s\n", "read 1 register, split 0", "round trip", "added by gw"
        printf "%-34s %8.0fus\n", "straight to the server (no relay)", d
        printf "%-34s %8.0fus %10.0fus\n", "through korvane, plain TCP relay", p, p - d
        printf "%-34s %8.0fus %10.0fus\n", "through korvane, TLS relay", t, t - d
        printf "\nTLS/plain: round trip %.2fx, added %.2fx (goal: added < 1.5x)\n", t / p, (t - d) / (p - d)
        printf "medians of 3 runs of %d samples each; both relays are socat, forking per connection.\n", count }'
}

inside() {
    local what=$1
    build=$2 count=$3 work=/run/bench
    gateway=("$build/korvane")
    local peers=$build/tests/peers
    world_setup
    mkdir -p $work
    "$peers/syslog_sink" /dev/log $work/syslog > $work/sink.ready &
    wait_for 5 test -s $work/sink.ready
    # One server for korvane, one for the direct baseline: each serves one
    # client at a time.
    "$peers/modbus_server" --listen 127.0.0.1:1502 &
    local server=$!
    "$peers/modbus_server" --listen 127.0.0.1:1503 &
    wait_for 5 listening 1502
    wait_for 5 listening 1503
    if [ "$what" = ack ]; then
        acks $server
    elif [ "$what" = tls ]; then
        secure_rounds
    else
        splits
    fi
}

if [ "${1:-}" = "--inside" ]; then
    inside "$2" "$3" "$4"
    exit
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "bench/latency.sh needs root (mount and network namespaces)" >&2
    exit 1
fi
what=round
if [ "${1:-}" = ack ] || [ "${1:-}" = tls ]; then
    what=$1
    shift
fi
build=${1:-${KORVANE_BUILD:-$repo/build-bench}}
if [ ! -f "$build/CMakeCache.txt" ]; then
    mkdir -p "$build"
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release > "$build.cmake.log" 2>&1 ||
        { cat "$build.cmake.log" >&2; exit 1; }
fi
cmake --build "$build" -j2 --target korvane modbus_server syslog_sink board_standin roundtrip relay > /dev/null

started=$(date +%s)
if [ $what = ack ]; then
    echo "korvane write acknowledgement in cache mode, $(uname -m), $(nproc) cores, build ${build}"
elif [ $what = tls ]; then
    echo "korvane direct-mode round trip over TLS and plain TCP, $(uname -m), $(nproc) cores, build ${build}"
else
    echo "korvane direct-mode round trip, $(uname -m), $(nproc) cores, build ${build}"
fi
unshare --mount --propagation private --net --pid --fork --mount-proc \
    "$0" --inside $what "$build" "${COUNT:-1000}"
echo "took $(( $(date +%s) - started )) s"
