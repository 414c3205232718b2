#!/bin/bash
# The acknowledgement of a write in cache mode with the server away on a
# real vfat stick: the real-stick machine of tests/stick/run.sh (qemu, TCG,
# an emulated USB stick), durable off and on, beside direct mode's round
# trip of the same write (server up) in the same boot. bench/latency.sh ack
# measures the same and the server-up cases on a tmpfs; the table is its.
#
#   bench/stick_ack.sh [COUNT]      (as root; samples per case, default 200)
#
# KORVANE_BUILD as for bench/cache.sh; KORVANE_STICK_BUILD as for
# tests/stick/run.sh, which runs once when its machine is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/builds.sh"
source "$here/stick_vm.sh"
build=${KORVANE_BUILD:-$bench_repo/build-bench}
count=${1:-200}

bench_build "$build" korvane
stick_vm_prepare ack
g++ -static -std=c++20 -O2 -Wall -Wextra -Werror -o "$vm/initrd.d/bin/roundtrip" "$here/roundtrip.cpp"
cp "$build/korvane" "$vm/initrd.d/opt/korvane/bin/korvane"
for lib in $(ldd "$build/korvane" | grep -o '/[^ ]*'); do
    mkdir -p "$vm/initrd.d$(dirname "$lib")"
    cp -L "$lib" "$vm/initrd.d$lib"
done
mkdir -p "$vm/initrd.d/etc"
echo "COUNT=$count" > "$vm/initrd.d/etc/bench.conf"
stick_vm_init "$here/stick_ack_vm.sh"
truncate -s 0 "$vm/stick.img"
truncate -s 256M "$vm/stick.img"
mkfs.vfat -F 32 -n KORVANE "$vm/stick.img" >/dev/null

started=$(date +%s)
echo "korvane write acknowledgement on the emulated stick, build $build"
stick_vm_boot "$vm/stick.img" 600 ACK | awk -v count="$count" -f "$here/ack_table.awk" \
    -v stick="The stick: vfat on qemu's emulated USB stick; TCG emulation slows every figure alike."
echo "boot took $(( $(date +%s) - started )) s (log $vm/boot.log)"
