#!/bin/bash
# How many records one stick directory holds, and what korvane does when it
# is full: one boot of the real-stick machine (tests/stick/run.sh builds its
# kernel, modules, busybox, daemon and helpers; this script reuses them).
#   1. stick_fill creates records in cache/ on a fresh vfat stick until the
#      kernel refuses one: the count and the errno;
#   2. korvane starts in cache mode on that stick with the server down and a
#      master sends 120 writes: how many are acknowledged, which log lines;
#   3. the server comes back: what arrives within 60 s.
# Every create scans the whole directory, so filling it takes about 50
# minutes under emulation (seen: 32766 records, then ENOSPC).
#
#   bench/stick_limit.sh        (as root; runs tests/stick/run.sh first when
#                                its work directory is missing: see
#                                bench/stick_vm.sh)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/stick_vm.sh"

stick_vm_prepare limit
gcc -static -O2 -Wall -Wextra -Werror -o "$vm/initrd.d/bin/stick_fill" "$here/stick_fill.c"
cat > "$vm/role.sh" <<'ROLE'
mount -t vfat /dev/sda $FLASH
mkdir $FLASH/cache
echo "LIMIT fill: $(stick_fill $FLASH/cache)"
echo "LIMIT entries: $(ls $FLASH/cache | wc -l) names in cache/"
umount $FLASH

syslogd -n -O /tmp/syslog &
wait_until 10 test -S /dev/log
cat > /opt/korvane/etc/settings <<SETTINGS
MOD_KORVANE_DEVICE="ttyUSB0"
MOD_KORVANE_BAUDRATE="19200"
MOD_KORVANE_PARITY="E"
MOD_KORVANE_SPLIT="10"
MOD_KORVANE_ADDR="127.0.0.1"
MOD_KORVANE_PORT="1502"
MOD_KORVANE_TIMEOUT="10000"
MOD_KORVANE_CACHE_MODE="1"
SETTINGS
mkfifo /tmp/master.cmd
: > /tmp/master.out
rtu_master /dev/ttyUSB0 /tmp/master.cmd /tmp/master.out &
wait_until 10 test -L /dev/ttyUSB0
/opt/korvane/bin/korvane &
wait_until 60 grep -q korvane /proc/mounts
sleep 2
echo "seq 5000 120" > /tmp/master.cmd
wait_until 300 grep -q '^DONE 1' /tmp/master.out
echo "LIMIT answers: $(grep -c '^OK' /tmp/master.out) OK, $(grep -c '^EXC4' /tmp/master.out) EXC4, $(grep -c -v -e '^OK' -e '^EXC4' -e '^DONE' /tmp/master.out) other"
sleep 3
grep -F 'korvane[' /tmp/syslog | sed 's/^/LIMIT log: /'
tcp_server 1502 /tmp/server.log /tmp/server.ready &
sleep 60
echo "LIMIT delivered in 60 s: $(wc -l < /tmp/server.log); first $(head -1 /tmp/server.log)"
echo "LIMIT records left: $(ls $FLASH/cache | wc -l)"
grep -F 'korvane[' /tmp/syslog | tail -n +2 | sed 's/^/LIMIT log after: /'
echo LIMIT-DONE
ROLE
stick_vm_init "$vm/role.sh"

# A large sparse stick, FAT32 on the whole device: room is not what runs out.
truncate -s 1G "$vm/stick.img"
mkfs.vfat -F 32 -n KORVANE "$vm/stick.img" >/dev/null

started=$(date +%s)
stick_vm_boot "$vm/stick.img" 5400 LIMIT
echo "boot took $(( $(date +%s) - started )) s (log $vm/boot.log)"
