#!/bin/bash
# Store rate of cache mode on a real vfat stick: the real-stick machine of
# tests/stick/run.sh (qemu, TCG, an emulated USB stick) with the server
# away; the baseline daemon and the one under test in the same boot, on
# the same stick (bench/stick_store.c says how it is timed):
#   single  one write at a time, each sent once the one before is a record
#   full    writes back to back, the ring kept full (a refused one is sent
#           again 20 ms later)
#
#   bench/stick_store.sh [--prefill P] [SINGLE [FULL]]
#       (as root; writes per run, default 100 and 1000, 0 skips the mode)
#   --prefill P: P records (default 0) are on the stick before each run,
#       written into the image on the host; the server being away, they
#       stay, and what a run added is removed before the next one
#
# KORVANE_STRACE=1 runs each daemon under strace -c (its table goes to the
# boot's log, lines "STRACE"). KORVANE_BUILD and the baseline as for
# bench/cache.sh; KORVANE_STICK_BUILD
# as for tests/stick/run.sh, which runs once when its machine is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/builds.sh"
source "$here/stick_vm.sh"
build=${KORVANE_BUILD:-$bench_repo/build-bench}
prefill=0
if [ "${1:-}" = --prefill ]; then
    prefill=$2
    shift 2
fi
single=${1:-100}
full=${2:-1000}

stick_vm_pair store stick_store
echo "SINGLE=$single FULL=$full PREFILL=$prefill STRACE=${KORVANE_STRACE:-}" > "$vm/initrd.d/etc/bench.conf"
stick_vm_init "$here/stick_store_vm.sh"
stick_vm_image "$vm/stick.img" 256 "$prefill"

started=$(date +%s)
echo "korvane store rate on the emulated stick, $prefill records on it before each run; old: $old, new: $build/korvane"
stick_vm_boot "$vm/stick.img" 1200 STORE | awk '
    { rate[$1 " " $2] = $8; first[$1 " " $2] = $10; count[$2] = $4 }
    function row(what, o, n, goal) {
        printf "%-44s %8s %8s %8.2f  %s\n", what, o, n, (o > 0 ? n / o : 0), goal
    }
    END {
        printf "%-44s %8s %8s %8s  %s\n", "records/s", "old", "new", "new/old", "goal"
        if (count["single"])
            row("one write waiting at a time, " count["single"], rate["old single"], rate["new single"], "")
        if (count["full"]) {
            row("ring full, first " count["full"] / 10 " records", first["old full"], first["new full"], ">= 3x old")
            row("ring full, " count["full"] " records", rate["old full"], rate["new full"], ">= 3x old")
        }
    }'
echo "records stored by the time (s), at each tenth:"
tr -d '\r' < "$vm/boot.log" | sed -n 's/^.*STORE-TIMES /  /p'
echo "boot took $(( $(date +%s) - started )) s (log $vm/boot.log)"
