# shellcheck shell=bash
# Sourced by the benchmarks: the daemon under test and the one it is
# compared with, both Release builds.
#
# bench_build BUILD TARGET...: configures BUILD (when new) and builds the
# targets. baseline_daemon BUILD: prints the path of the baseline daemon:
# $KORVANE_OLD_BIN when set, else commit ${KORVANE_BASELINE:-e8b43cd} (the
# daemon before the outage work), taken with git archive and built under
# BUILD/baseline.

bench_repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bench_build() {
    local build=$1
    shift
    mkdir -p "$build"
    { [ -f "$build/CMakeCache.txt" ] || cmake -S "$bench_repo" -B "$build" -DCMAKE_BUILD_TYPE=Release; } \
        >"$build/bench-build.log" 2>&1 &&
        cmake --build "$build" -j2 --target "$@" >>"$build/bench-build.log" 2>&1 ||
        { tail -20 "$build/bench-build.log" >&2; return 1; }
}

baseline_daemon() {
    local commit=${KORVANE_BASELINE:-e8b43cd} dir=$1/baseline
    if [ -n "${KORVANE_OLD_BIN:-}" ]; then
        echo "$KORVANE_OLD_BIN"
        return
    fi
    if [ ! -x "$dir/build/korvane" ] || [ "$(cat "$dir/commit" 2>/dev/null)" != "$commit" ]; then
        rm -rf "$dir"
        mkdir -p "$dir/src"
        git -C "$bench_repo" archive "$commit" | tar -x -C "$dir/src" || return 1
        { cmake -S "$dir/src" -B "$dir/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
          cmake --build "$dir/build" -j2 --target korvane; } >"$dir/build.log" 2>&1 ||
            { tail -20 "$dir/build.log" >&2; return 1; }
        echo "$commit" > "$dir/commit"
    fi
    echo "$dir/build/korvane"
}
