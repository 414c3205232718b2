#!/bin/bash
# Delivery rate from a real vfat stick: the real-stick machine of
# tests/stick/run.sh (qemu, TCG, emulated USB sticks), one boot per backlog
# size. In each boot, for the baseline daemon and the one under test:
#   ring    the ring's own rate: the server holds its first answer while the
#           master fills the ring, then the full ring drains to it (the
#           median of three runs)
#   stick   N records waiting on the stick (written into its image on the
#           host) drain to a server that answers at once
# Rates are requests/s at the server (bench/stick_drain.c), from the first
# write that waited in the ring, or the first record, to the last. Each
# daemon drains a stick of its own, so both start from the same records.
#
#   bench/stick_drain.sh [N ...]    (as root; default 1000 10000 30000)
#
# KORVANE_STRACE=1 runs each daemon under strace -c (its table goes to the
# boot's log, lines "STRACE"). KORVANE_DRAIN_SECONDS bounds a stick run (600); a run cut short reports
# the rate of what it delivered. KORVANE_BUILD and the baseline as for
# bench/cache.sh; KORVANE_STICK_BUILD as for tests/stick/run.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/builds.sh"
source "$here/stick_vm.sh"
build=${KORVANE_BUILD:-$bench_repo/build-bench}
seconds=${KORVANE_DRAIN_SECONDS:-600}
read -r -a sizes <<< "${*:-1000 10000 30000}"

stick_vm_pair drain stick_drain
stick_vm_init "$here/stick_drain_vm.sh"

echo "korvane delivery from the emulated stick; old: $old, new: $build/korvane"
for n in "${sizes[@]}"; do
    # The guest tells the sticks apart by size: 256 MiB the baseline's, 257
    # the new daemon's, 258 the empty one of the ring runs.
    stick_vm_image "$vm/old.img" 256 "$n"
    stick_vm_image "$vm/new.img" 257 "$n"
    stick_vm_image "$vm/ring.img" 258
    stick_vm_more_images=("$vm/new.img" "$vm/ring.img")
    echo "RECORDS=$n SECONDS=$seconds STRACE=${KORVANE_STRACE:-}" > "$vm/initrd.d/etc/bench.conf"
    started=$(date +%s)
    stick_vm_boot "$vm/old.img" $((3 * seconds + 300)) DRAIN | awk -v n="$n" '
        $2 == "ring" { ring[$1, ++rings[$1]] = $8 }
        { rate[$1 " " $2] = $8; got[$1 " " $2] = $4 }
        function median(b,    x, y, z) {
            x = ring[b, 1] + 0; y = ring[b, 2] + 0; z = ring[b, 3] + 0
            return x > y ? (y > z ? y : (x > z ? z : x)) : (x > z ? x : (y > z ? z : y))
        }
        function row(what, o, n, ring) {
            printf "%-36s %8s %8s %8.2f %8s\n", what, o, n, (o > 0 ? n / o : 0), ring
        }
        END {
            rate["old ring"] = median("old"); rate["new ring"] = median("new")
            printf "%-36s %8s %8s %8s %8s\n", "records/s", "old", "new", "new/old", "new/ring"
            row("ring only (full ring), median of 3", rate["old ring"], rate["new ring"], "1.00")
            row("stick, " n " records (" got["old stick"] ", " got["new stick"] " delivered)",
                rate["old stick"], rate["new stick"],
                sprintf("%.2f", rate["new ring"] > 0 ? rate["new stick"] / rate["new ring"] : 0))
        }'
    cp "$vm/boot.log" "$vm/boot-$n.log"
    echo "boot took $(( $(date +%s) - started )) s (log $vm/boot-$n.log)"
done
