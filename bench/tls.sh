#!/bin/bash
# The secure link's costs, each against plain TCP (or against the plain
# build) in the same run:
#
#   bench/tls.sh latency      round trip through korvane at split 0, over a
#                             TLS relay against a plain one (bench/latency.sh tls)
#   bench/tls.sh handshake    full against resumed handshakes of korvane's
#                             TLS code (bench/tls_handshake.cpp)
#   bench/tls.sh drain [N]    records/s from the stick over TLS against plain
#                             TCP, N records waiting (10000)
#   bench/tls.sh sizes        the stripped daemon of every artifact, plain
#                             and with TLS (Release builds, daemon alone)
#
# As root. KORVANE_BUILD names the Release build the first three use
# (default build-bench/ in the repository).
set -euo pipefail
source "$(dirname "$0")/builds.sh"
build=${KORVANE_BUILD:-$bench_repo/build-bench}

# size TOOLCHAIN TLS: the stripped size in bytes of a Release daemon built
# with that toolchain (- for the host's) and TLS ON or OFF. Static builds
# with TLS get Mbed TLS built for them first.
size() {
    local toolchain=$1 tls=$2 name dir args=(-DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DKORVANE_TLS="$2")
    name=$(basename "${toolchain%.cmake}")
    [ "$toolchain" = - ] && name=native
    dir=$build/sizes/$name-$tls
    if [ "$toolchain" != - ]; then
        args+=(-DCMAKE_TOOLCHAIN_FILE="$bench_repo/$toolchain")
        if [[ $toolchain == *musl* ]] && [ "$tls" = ON ]; then
            "$bench_repo/scripts/build-source-package" mbedtls "$bench_repo/$toolchain" \
                "$build/sizes/mbedtls-$name" >/dev/null
            args+=(-DKORVANE_MBEDTLS_PREFIX="$build/sizes/mbedtls-$name")
        fi
    fi
    { cmake -S "$bench_repo" -B "$dir" "${args[@]}" && cmake --build "$dir" -j2 --target korvane; } \
        >"$dir.log" 2>&1 || { tail -20 "$dir.log" >&2; return 1; }
    objcopy --strip-all "$dir/korvane" "$dir/korvane.stripped" 2>/dev/null ||
        arm-linux-gnueabihf-objcopy --strip-all "$dir/korvane" "$dir/korvane.stripped"
    stat -c %s "$dir/korvane.stripped"
}

sizes() {
    mkdir -p "$build/sizes"
    printf '%-34s %9s %9s %7s\n' artifact plain TLS TLS/plain
    local line toolchain what plain tls
    for line in "native (glibc x86-64)|-" "glibc armhf|cmake/arm-linux-gnueabihf.cmake" \
                "static x86-64|cmake/x86_64-linux-musl.cmake" "static armhf|cmake/arm-linux-musleabihf.cmake" \
                "static armel|cmake/arm-linux-musleabi.cmake"; do
        what=${line%|*} toolchain=${line#*|}
        plain=$(size "$toolchain" OFF) tls=$(size "$toolchain" ON)
        awk -v what="$what" -v p="$plain" -v t="$tls" \
            'BEGIN { printf "%-34s %6d KB %6d KB %6.1fx\n", what, (p + 1023) / 1024, (t + 1023) / 1024, t / p }' 
    done
    echo "glibc builds link Debian's libmbedtls-dev (its full configuration); static builds"
    echo "link Mbed TLS built from Debian's source package with cmake/mbedtls-config.h."
}

case ${1:-} in
    latency) exec "$bench_repo/bench/latency.sh" tls "$build" ;;
    handshake)
        bench_build "$build" tls_handshake
        exec "$build/bench/tls_handshake" "${2:-50}" ;;
    drain)
        bench_build "$build" cache_bench
        KORVANE_OLD_BIN=${KORVANE_OLD_BIN:-$build/korvane} exec "$build/bench/cache_bench" drain-tls "${2:-10000}" ;;
    sizes) sizes ;;
    *) echo "usage: bench/tls.sh latency|handshake|drain [N]|sizes" >&2; exit 2 ;;
esac
