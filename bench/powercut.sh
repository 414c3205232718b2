#!/bin/bash
# Power cuts while korvane stores writes during an outage, on the real-stick
# machine of tests/stick/run.sh (x86-64, qemu TCG, an emulated USB stick
# with vfat on the whole device). Each boot first lets korvane deliver, to
# a server that is there, what the cut before left on the stick, then takes
# the server away and has a master write numbered values without pause;
# the host kills qemu by its PID (nothing synced) at a random moment 0.2 to
# 4.2 s into the writing, and the next boot, on the same stick image,
# delivers. The master's lines (each request as sent, each answer) leave
# the machine on its second serial port, a file on the host, as they
# happen, so that they outlive the cut; the server's log leaves the same
# way once delivery is over. bench/powercut_master.c says what is written.
#
#   bench/powercut.sh N [on|off]    (as root; N cuts, with MOD_KORVANE_DURABLE
#                                   on, the default, or off)
#
# Per cut, and in all: writes sent, acknowledged (the master had the normal
# answer), answered with exception 4, unanswered, delivered (distinct
# writes the server got), lost (acknowledged, never delivered), twice
# (delivered more than once), corrupted (a delivered request that is not
# byte for byte one the master sent), delivered though not acknowledged,
# and delivered out of order (below the one the server got before it). After every cut fsck.vfat -n looks at the image (its output
# is kept, with -l, in fsck-K.log).
#
# The daemon is the one run.sh built from this tree for its machine
# (KORVANE_STICK_BUILD as there; run.sh runs first when it is missing).
# KORVANE_POWERCUT_SEED fixes the moments of the cuts.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/stick_vm.sh"
cuts=${1:-}
durable=${2:-on}
case "$cuts:$durable" in
    [1-9]*:on) flag=1 ;;
    [1-9]*:off) flag=0 ;;
    *) echo "usage: bench/powercut.sh N [on|off]" >&2; exit 2 ;;
esac
seed=${KORVANE_POWERCUT_SEED:-$$}
RANDOM=$seed

stick_vm_prepare "powercut-$durable" || exit 1
gcc -static -O2 -Wall -Wextra -Werror -o "$vm/initrd.d/bin/powercut_master" "$here/powercut_master.c" || exit 1
mkdir -p "$vm/initrd.d/etc"
echo "DURABLE=$flag" > "$vm/initrd.d/etc/bench.conf"
stick_vm_init "$here/powercut_vm.sh"
(cd "$vm/initrd.d" && find . | busybox cpio -o -H newc 2>/dev/null) > "$vm/initrd"
image=$vm/stick.img
truncate -s 128M "$image"
mkfs.vfat --mbr=n -F 32 -n KORVANE "$image" >/dev/null || exit 1

# tally [CUT]: the figures of one cut, or of every cut and the sum, from
# the report files so far.
tally() {
    local k f
    # Each report file as "FILE K", then its whole lines: a cut can end a
    # file in the middle of a line ("A 500" of "A 5000269").
    for ((k = 0; k <= cuts; k++)); do
        f=$vm/port-$k.log
        [ -e "$f" ] || continue
        echo "FILE $k"
        if [ -n "$(tail -c1 "$f")" ]; then head -n -1 "$f"; else cat "$f"; fi
    done | awk -v only="${1:--1}" -v cuts="$cuts" -v cutsfile="$vm/cuts" '
        function hexval(h,   i, v) {
            v = 0
            for (i = 1; i <= length(h); i++) v = v * 16 + index("0123456789abcdef", substr(h, i, 1)) - 1
            return v
        }
        # A request as powercut_master sends it: n, then n ^ 0xa5a5a5a5.
        function request_number(h,   i, a, b) {
            if (length(h) != 30 || substr(h, 1, 14) != "01100100000408") return -1
            for (i = 15; i <= 22; i++) {
                a = index("0123456789abcdef", substr(h, i, 1)) - 1
                b = index("0123456789abcdef", substr(h, i + 8, 1)) - 1
                if (a < 0 || b < 0 || x[a, (i % 2) ? 10 : 5] != b) return -1
            }
            return hexval(substr(h, 15, 8))
        }
        BEGIN {
            for (a = 0; a < 16; a++) for (b = 0; b < 16; b++) {
                r = 0; p = 1
                for (i = 0; i < 4; i++) { if ((int(a / p) % 2) != (int(b / p) % 2)) r += p; p *= 2 }
                x[a, b] = r
            }
            while ((getline line < cutsfile) > 0) { split(line, f, " "); delay[f[1]] = f[2]; sub(/^[^ ]+ [^ ]+ /, "", line); fsck[f[1]] = line }
        }
        $1 == "FILE" { previous = -1; next }
        { sub(/\r$/, "") }
        $1 == "S" { c = int($2 / 1000000); sent[c]++; was_sent[$2] = 1; if ($2 > max_sent[c]) max_sent[c] = $2 }
        $1 == "A" { c = int($2 / 1000000); acked[c]++; was_acked[$2] = 1 }
        $1 == "E4" { exc4[int($2 / 1000000)]++ }
        $1 == "N" { none[int($2 / 1000000)]++ }
        $1 == "D" {
            n = request_number($2)
            if (n < 0) { corrupt_lines = corrupt_lines "  corrupted: " $2 "\n"; bad_total++; next }
            c = int(n / 1000000)
            if (!(n in was_sent) && n > max_sent[c] + 1) {
                corrupt_lines = corrupt_lines "  never sent: " $2 "\n"; corrupt[c]++; next
            }
            if (n < previous) disorder[c]++
            previous = n
            if (++times[n] == 1) delivered[c]++
            else if (times[n] == 2) twice[c]++
            if (!(n in was_acked)) unacked[c]++
        }
        /^END-DELIVERY / { ended[$2 - 1] = 1 }
        END {
            for (n in was_acked) if (!(n in times)) { c = int(n / 1000000); if (++lost[c] <= 10) lost_list[c] = lost_list[c] " " n }
            fmt = "%-5s %6s %6s %6s %5s %5s %9s %5s %5s %9s %7s %8s %s\n"
            if (only < 0) printf fmt, "cut", "at ms", "sent", "acked", "exc4", "none", "delivered", "lost", "twice", "corrupted", "unacked", "disorder", "fsck"
            for (c = 0; c < cuts; c++) {
                if (only >= 0 && c != only) continue
                if (!(c in delay)) continue
                printf fmt, c, delay[c], sent[c] + 0, acked[c] + 0, exc4[c] + 0, none[c] + 0, delivered[c] + 0,
                    lost[c] + 0, twice[c] + 0, corrupt[c] + 0, unacked[c] + 0, disorder[c] + 0,
                    fsck[c] (ended[c] ? "" : "  (delivery not finished)") (lost[c] ? "  lost:" lost_list[c] (lost[c] > 10 ? " ..." : "") : "")
                T["cuts"]++; T["sent"] += sent[c]; T["acked"] += acked[c]; T["exc4"] += exc4[c]; T["none"] += none[c]
                T["delivered"] += delivered[c]; T["lost"] += lost[c]; T["twice"] += twice[c]
                T["corrupted"] += corrupt[c]; T["unacked"] += unacked[c]; T["disorder"] += disorder[c]
            }
            if (only < 0) {
                printf fmt, "all " T["cuts"], "", T["sent"] + 0, T["acked"] + 0, T["exc4"] + 0, T["none"] + 0,
                    T["delivered"] + 0, T["lost"] + 0, T["twice"] + 0, T["corrupted"] + bad_total, T["unacked"] + 0,
                    T["disorder"] + 0, ""
            }
            printf "%s", corrupt_lines
        }'
}

echo "power cuts on the emulated stick, MOD_KORVANE_DURABLE=$flag, $cuts cuts, seed $seed (files in $vm)"
: > "$vm/cuts"
started=$(date +%s)
for ((k = 0; k <= cuts; k++)); do
    last=0
    [ $k -eq "$cuts" ] && last=1
    port=$vm/port-$k.log
    rm -f "$port"
    qemu-system-x86_64 -accel tcg -m 512 -kernel "$stick_vmlinuz" -initrd "$vm/initrd" \
        -append "console=ttyS0 panic=-1 quiet korvane_cut=$k korvane_last=$last" \
        -nographic -no-reboot -nodefaults -serial stdio -serial "file:$port" \
        -device qemu-xhci -drive "if=none,id=stick,format=raw,file=$image" \
        -device usb-storage,drive=stick </dev/null >"$vm/boot-$k.log" 2>&1 &
    qemu=$!
    deadline=$((SECONDS + 300))
    at=
    while kill -0 "$qemu" 2>/dev/null; do
        if [ $last -eq 0 ] && grep -q "^WRITING $k" "$port" 2>/dev/null; then
            at=$((RANDOM % 4000 + 200))
            sleep "$((at / 1000)).$(printf %03d $((at % 1000)))"
            kill -9 "$qemu"
            break
        fi
        if [ $SECONDS -ge $deadline ]; then
            echo "boot $k: no end after 300 s, killed (log $vm/boot-$k.log)"
            kill -9 "$qemu"
            break
        fi
        sleep 0.05
    done
    wait "$qemu" 2>/dev/null
    if [ $last -eq 0 ]; then
        fsck.vfat -n -l "$image" >"$vm/fsck-$k.log" 2>&1
        # Beyond the listing and what any unclean unmount leaves (the dirty
        # flag, in the boot sector but not in its backup), what fsck said.
        said=$(grep -v -e '^Checking file ' -e '^fsck.fat ' -e '^Checking we can access' -e "^$image: " \
            -e '^Starting check' -e '^Checking for' -e '^Reclaiming' -e '^Checking free' \
            -e '^There are differences between boot sector and its backup' -e '^This is mostly harmless' \
            -e '^  65:01/00$' -e 'Not automatically fixing this' -e '^Dirty bit is set' \
            -e 'Automatically removing dirty bit' -e '^Leaving filesystem unchanged' -e '^ *$' \
            "$vm/fsck-$k.log" | tr '\n' ' ')
        if grep -q '^Dirty bit is set' "$vm/fsck-$k.log"; then status=dirty; else status=clean; fi
        echo "$k ${at:-none} $status${said:+, fsck: $said}" >> "$vm/cuts"
        [ -z "$at" ] && echo "boot $k: never started writing (log $vm/boot-$k.log)"
    fi
    if [ $k -gt 0 ]; then
        tally $((k - 1)) | sed 's/^/  /'
        grep -a '^POWERCUT ' "$vm/boot-$k.log" | tr -d '\r' | grep -e 'odd file' -e 'files left' -e 'never' | sed 's/^/    /'
    fi
done
echo
tally
echo "$((cuts + 1)) boots in $(($(date +%s) - started)) s"
