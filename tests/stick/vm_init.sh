#!/bin/sh
# /init of the stick test machine. The kernel command line names the role of
# this boot (korvane_role=...); each role runs a few cases against the real
# daemon on a real vfat stick and prints one line per case:
#   STICK-RESULT <case> ok
#   STICK-RESULT <case> fail <why>
# followed by STICK-BOOT-DONE, then powers the machine off.

export PATH=/bin
/bin/busybox --install -s /bin

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
mkdir -p /dev/pts /tmp /mnt /var/lock /var/run/korvane/flash /opt/korvane/etc
mount -t devpts -o ptmxmode=0666,mode=620 devpts /dev/pts
[ -e /dev/ptmx ] || ln -s pts/ptmx /dev/ptmx
ip link set lo up

ROLE=$(sed -n 's/.*korvane_role=\([a-z0-9_]*\).*/\1/p' /proc/cmdline)
DAEMON=/opt/korvane/bin/korvane
FLASH=/var/run/korvane/flash
CACHE=$FLASH/cache
SYSLOG=/tmp/syslog
SERVER_LOG=/tmp/server.log
MASTER_OUT=/tmp/master.out
PORT=1502

say() { echo "stick-vm: $*"; }
pass() { echo "STICK-RESULT $1 ok"; }
fail() { c=$1; shift; echo "STICK-RESULT $c fail $*"; }

finish() {
    sync
    echo "STICK-BOOT-DONE"
    poweroff -f
    sleep 60
}

# wait_until SECONDS COMMAND...: polls COMMAND until it succeeds or the
# deadline passes.
wait_until() {
    end=$(( $(date +%s) + $1 )); shift
    while :; do
        "$@" && return 0
        [ "$(date +%s)" -ge "$end" ] && return 1
        usleep 50000
    done
}

load_modules() {
    while read -r module params; do
        # shellcheck disable=SC2086
        insmod "/lib/modules/$module" $params || say "insmod $module failed"
    done < /lib/modules/load-order
}

start_syslog() {
    syslogd -n -O "$SYSLOG" &
    wait_until 10 test -S /dev/log || say "no /dev/log"
}

# syslog_has LEVEL TEXT: the daemon logged TEXT (a whole message) at LEVEL.
syslog_has() {
    grep -F "daemon.$1 korvane[" "$SYSLOG" 2>/dev/null | grep -q -F "]: $2" || return 1
}

syslog_count() {
    grep -F "korvane[" "$SYSLOG" 2>/dev/null | grep -c -F "]: $1"
}

# write_settings [CACHE_MODE [TIMEOUT_MS]]
write_settings() {
    cat > /opt/korvane/etc/settings <<EOF
MOD_KORVANE_ENABLED="1"
MOD_KORVANE_DEVICE="ttyUSB0"
MOD_KORVANE_BAUDRATE="19200"
MOD_KORVANE_DATABITS="8"
MOD_KORVANE_PARITY="E"
MOD_KORVANE_STOPBITS="1"
MOD_KORVANE_SPLIT="10"
MOD_KORVANE_ADDR="127.0.0.1"
MOD_KORVANE_PORT="$PORT"
MOD_KORVANE_TIMEOUT="${2:-10000}"
MOD_KORVANE_CACHE_MODE="${1:-1}"
EOF
}

# The port named korvane.control, when the serial master runs on the host.
control_port() {
    for name in /sys/class/virtio-ports/*/name; do
        [ "$(cat "$name" 2>/dev/null)" = korvane.control ] && basename "$(dirname "$name")"
    done
}

# The serial master takes commands on descriptor 3. On a machine with a
# USB serial adapter it is on the host, at the adapter's other end, and
# talks over the control port; otherwise it runs here on a pty.
COMMANDS=0
start_master() {
    : > "$MASTER_OUT"
    port=$(control_port)
    if [ -n "$port" ]; then
        wait_until 10 test -c "/dev/$port" || say "no /dev/$port"
        exec 3<>"/dev/$port"
        cat <&3 >> "$MASTER_OUT" &
        wait_until 10 test -c /dev/ttyUSB0 || say "no /dev/ttyUSB0"
    else
        mkfifo /tmp/master.cmd
        /bin/rtu_master /dev/ttyUSB0 /tmp/master.cmd "$MASTER_OUT" &
        exec 3<>/tmp/master.cmd
        wait_until 10 test -L /dev/ttyUSB0 || say "no /dev/ttyUSB0"
    fi
}

# ask COMMAND: hands one command to the serial master and waits for it to
# finish; its result lines are then in $ANSWERS.
ask() {
    before=$(wc -l < "$MASTER_OUT")
    COMMANDS=$((COMMANDS + 1))
    echo "$*" >&3
    if ! wait_until 300 grep -qx "DONE $COMMANDS" "$MASTER_OUT"; then
        say "serial master did not finish: $*"
    fi
    ANSWERS=$(tail -n +$((before + 1)) "$MASTER_OUT" | grep -v '^DONE ')
}

# Requests of $ANSWERS whose answer was STATUS, one a line, in order.
answered() { echo "$ANSWERS" | sed -n "s/^$1 //p"; }

SERVER=
start_server() {
    rm -f /tmp/server.ready
    /bin/tcp_server $PORT "$SERVER_LOG" /tmp/server.ready "$@" 3>&- &
    SERVER=$!
    wait_until 10 test -e /tmp/server.ready || say "server did not come up"
}

stop_server() {
    kill "$SERVER"
    wait "$SERVER" 2>/dev/null
    SERVER=
}

server_lines() { [ -e "$SERVER_LOG" ] && wc -l < "$SERVER_LOG" || echo 0; }
server_has_lines() { [ "$(server_lines)" -ge "$1" ]; }

DAEMON_PID=
start_daemon() {
    $DAEMON 3>&- &
    DAEMON_PID=$!
}

daemon_holds_line() {
    ls -l "/proc/$DAEMON_PID/fd" 2>/dev/null | grep -q -- "-> $(readlink -f /dev/ttyUSB0)\$"
}

# Record files, sorted by name (the numbers are zero-padded).
records() { ls "$CACHE" 2>/dev/null | grep '\.bin$'; }
record_count() { records | wc -l; }
record_count_is() { [ "$(record_count)" -eq "$1" ]; }
no_records() { record_count_is 0; }
record_hex() { xxd -p "$CACHE/$1" | tr -d '\n'; }

# The record files as "name hex" lines.
record_listing() {
    for r in $(records); do echo "$r $(record_hex "$r")"; done
}

# The contents of the record files in name order, one hex line each.
record_contents() {
    for r in $(records); do record_hex "$r"; echo; done
}

mounted_from() { grep -q "^$1 $FLASH vfat " /proc/mounts; }

wait_for_block() {
    wait_until 30 test -e "/dev/$1" || say "no /dev/$1"
}

# Frames used across the two boots of the partitioned stick: one of every
# write the gateway caches, different units and lengths.
A=01060010002a
B=0110002000020400010002
C=11050003ff00
D=010f0000000a02ff03
E=0116000400f20025
F=0106007b0001
G=01100100000102abcd
H=01060200beef
I=01060201cafe

connected_again() { [ "$(syslog_count "Succesfully connected to 127.0.0.1")" -ge 2 ]; }

# Direct mode: an exchange through the server, then the two gateway
# exceptions: 10 with the server gone, 11 with one that holds its answer.
role_direct() {
    load_modules
    start_syslog
    write_settings 0 1000
    start_master
    start_server
    start_daemon

    wait_until 20 daemon_holds_line || say "daemon never opened the line"
    # A USB serial adapter keeps the line settings the daemon asked for
    # (19200 baud, 8 bits, even parity, one stop bit); a pty keeps none.
    if [ -n "$(control_port)" ]; then
        settings=" $(stty -F /dev/ttyUSB0 -a 2>/dev/null | tr ';\n' '  ') "
        say "line settings:$settings"
        why=
        for flag in "speed 19200 baud" cs8 parenb -parodd -cstopb; do
            echo "$settings" | grep -q -e " $flag " || why="$why $flag"
        done
        if [ -z "$why" ]; then pass line_settings_kept
        else fail line_settings_kept "missing$why in:$settings"; fi
    fi
    why=
    wait_until 20 syslog_has notice "Succesfully connected to 127.0.0.1" || why="never connected;"
    ask w $A $C
    [ "$(answered OK | tr '\n' ' ')" = "$A $C " ] || why="$why answers: $ANSWERS;"
    server_got_exactly "$A
$C" || why="$why server got: $(tr '\n' ' ' < "$SERVER_LOG")"
    if [ -z "$why" ]; then pass direct_exchange; else fail direct_exchange "$why"; fi

    stop_server
    wait_until 10 syslog_has err "connection was closed" || say "close not seen"
    ask w $F
    if [ "$(answered EXC10)" = "$F" ]; then pass exception_10
    else fail exception_10 "answers: $ANSWERS"; fi

    # The next attempt to connect comes within five seconds.
    : > "$SERVER_LOG"
    start_server /tmp/release
    wait_until 20 connected_again || say "no reconnection"
    ask w $F
    if [ "$(answered EXC11)" = "$F" ] && server_got_exactly "$F"; then pass exception_11
    else fail exception_11 "answers: $ANSWERS; server got: $(tr '\n' ' ' < "$SERVER_LOG")"; fi
    touch /tmp/release
    kill -9 "$DAEMON_PID"
}

role_no_stick() {
    load_modules
    start_syslog
    write_settings
    timeout 60 $DAEMON
    status=$?
    wait_until 10 syslog_has err "init cache has failed, exiting..."
    why=
    [ "$status" -eq 1 ] || why="$why exit-status=$status"
    syslog_has notice "mount has failed (No such file or directory)" ||
        why="$why no-mount-failure-line"
    syslog_has err "init cache has failed, exiting..." || why="$why no-init-cache-line"
    mount_line=$(grep -n -F "mount has failed" "$SYSLOG" | head -1 | cut -d: -f1)
    init_line=$(grep -n -F "init cache has failed" "$SYSLOG" | head -1 | cut -d: -f1)
    [ -n "$mount_line" ] && [ -n "$init_line" ] && [ "$mount_line" -lt "$init_line" ] ||
        why="$why lines-out-of-order"
    for fifo in serial_tcp.fifo tcp_serial.fifo; do
        [ -e "/var/run/korvane/$fifo" ] && why="$why $fifo-created"
    done
    grep -q " $FLASH " /proc/mounts && why="$why something-mounted"
    if [ -z "$why" ]; then pass no_stick; else fail no_stick "$why"; cat "$SYSLOG"; fi
}

# The daemon in cache mode on /dev/sda1, the master ready, no server.
start_on_partitioned_stick() {
    load_modules
    wait_for_block sda1
    start_syslog
    write_settings
    start_master
    start_daemon
}

# Fresh partitioned stick, server down: writes become records; the daemon
# is then killed and the machine powered off with the records on the stick.
role_first() {
    start_on_partitioned_stick

    if wait_until 20 mounted_from /dev/sda1 && [ -d "$CACHE" ] && ! mounted_from /dev/sda; then
        pass mount_sda1
    else
        fail mount_sda1 "$(grep " $FLASH " /proc/mounts)"
    fi

    wait_until 20 daemon_holds_line || say "daemon never opened the line"
    # One write a batch: each record is on the stick before the next write
    # comes, and each batch must flush the stick's cache twice (once for
    # the bytes, once for the names).
    acks=
    for frame in $A $B $C $D $E; do
        ask w $frame
        acks="$acks$(answered OK) "
        wait_until 20 record_count_is $(echo "$acks" | wc -w)
    done
    echo "STICK-FLUSHES batches_flush_the_stick_cache 10"
    why=
    [ "$acks" = "$A $B $C $D $E " ] || why="acks: $acks"
    expected="000000001.bin $A
000000002.bin $B
000000003.bin $C
000000004.bin $D
000000005.bin $E"
    listing=$(record_listing)
    [ "$listing" = "$expected" ] || why="$why records: $(echo "$listing" | tr '\n' ';')"
    if [ -z "$why" ]; then pass outage_writes_become_records; else fail outage_writes_become_records "$why"; fi

    kill -9 "$DAEMON_PID"
    wait "$DAEMON_PID" 2>/dev/null
    # A power cut right after a record was created leaves its file empty:
    # vfat writes the directory entry before the data. The next boot meets
    # such a leftover behind the good records.
    : > "$CACHE/000000006.bin"
    sync
    say "records left: $(records | tr '\n' ' ')"
}

# The five records of the first boot; what becomes of the empty leftover is
# a case of its own.
old_records_gone() { ! records | grep -q '^00000000[1-5]\.bin$'; }

# The same stick after a restart: the server holds its first answer so that
# new writes queue in the ring behind the records of the earlier run.
role_second() {
    load_modules
    wait_for_block sda1
    start_syslog
    write_settings
    start_master
    start_server /tmp/release
    start_daemon

    wait_until 20 daemon_holds_line || say "daemon never opened the line"
    why=
    wait_until 30 server_has_lines 1 || why="nothing delivered;"
    ask w $F $G
    [ "$(answered OK | tr '\n' ' ')" = "$F $G " ] || why="$why acks: $ANSWERS"
    touch /tmp/release
    wait_until 30 grep -qx "$G" "$SERVER_LOG" || why="$why $G never arrived;"
    order=$(grep -v '^empty$' "$SERVER_LOG" | tr '\n' ' ')
    [ "$order" = "$A $B $C $D $E $F $G " ] || why="$why server got: $order"
    if [ -z "$why" ]; then pass restart_delivers_old_records_first
    else fail restart_delivers_old_records_first "$why"; fi

    if wait_until 10 old_records_gone; then
        pass delivered_records_removed
    else
        fail delivered_records_removed "left: $(records | tr '\n' ' ')"
    fi

    short=$(awk 'length($0) < 12' "$SERVER_LOG" | tr '\n' ' ')
    if [ -z "$short" ]; then
        pass empty_record_not_sent
    else
        fail empty_record_not_sent "server got: $short"
    fi
    kill -9 "$DAEMON_PID"
}

# Fills the stick so that exactly $1 clusters stay free. The cache directory
# is made first so that records need no room for the directory itself.
fill_stick_leaving() {
    mount -t vfat /dev/sda /mnt || return 1
    mkdir -p /mnt/cache
    dd if=/dev/zero of=/mnt/fill bs=65536 2>/dev/null
    # A page-sized write fails whole when fewer clusters than a page are
    # left: take those one at a time.
    while dd if=/dev/zero bs=512 count=1 2>/dev/null >> /mnt/fill; do :; done
    sync
    cluster=$(stat -f -c %S /mnt)
    size=$(stat -c %s /mnt/fill)
    truncate -s $(( (size / cluster - $1) * cluster )) /mnt/fill
    sync
    free=$(stat -f -c %f /mnt)
    umount /mnt
    say "stick prepared: cluster $cluster bytes, $free free"
    [ "$free" -eq "$1" ]
}

store_failures() {
    echo $(( $(syslog_count "writing to cache record has failed") +
             $(syslog_count "openning cache record file has failed (") ))
}
store_failures_reach() { [ "$(store_failures)" -ge "$1" ]; }

# $1 list of expected request hex lines; compares with the server's log.
server_got_exactly() { [ "$(cat "$SERVER_LOG")" = "$1" ]; }

# Unpartitioned small stick: mounting falls back to /dev/sda; a full stick
# must neither keep partial records nor lose acknowledged writes.
role_full() {
    load_modules
    wait_for_block sda
    prepared=1
    fill_stick_leaving 3 || prepared=0
    start_syslog
    write_settings
    start_master
    start_daemon

    if wait_until 20 mounted_from /dev/sda && [ ! -e /dev/sda1 ]; then
        pass mount_falls_back_to_sda
    else
        fail mount_falls_back_to_sda "$(grep " $FLASH " /proc/mounts)"
    fi
    wait_until 20 daemon_holds_line || say "daemon never opened the line"

    # Round 1: the server is down and the stick fills up. Beyond what the
    # stick and the ring hold, writes are refused with exception 4.
    ask seq 1000 120
    acked=$(answered OK)
    refused=$(answered EXC4)
    n_acked=$(echo "$acked" | grep -c .)
    n_refused=$(echo "$refused" | grep -c .)
    wait_until 10 store_failures_reach 1
    # Let a few of the once-a-second store retries happen: they must leave
    # nothing behind and log nothing more.
    sleep 3
    listing=$(record_listing)
    n_records=$(record_count)
    why=
    [ $prepared -eq 1 ] || why="stick not prepared;"
    stored=$(echo "$acked" | head -n "$n_records")
    [ "$(record_contents)" = "$stored" ] || why="$why records: $(echo "$listing" | tr '\n' ';')"
    [ "$n_records" -ge 1 ] || why="$why no record fitted;"
    [ "$(store_failures)" -eq 1 ] || why="$why $(store_failures) store failure lines;"
    if [ -z "$why" ]; then pass full_stick_keeps_only_whole_records
    else fail full_stick_keeps_only_whole_records "$why"; fi

    why=
    # Whatever reached the stick and the 100 ring slots: a batch the stick
    # refuses stays in the ring.
    [ "$n_acked" -eq $((n_records + 100)) ] ||
        why="acked $n_acked with $n_records records;"
    [ $((n_acked + n_refused)) -eq 120 ] || why="$why other answers: $(echo "$ANSWERS" | grep -v -e '^OK' -e '^EXC4' | head -3 | tr '\n' ';')"
    echo "$ANSWERS" | sed -n '/^EXC4/,$p' | grep -q '^OK' &&
        why="$why acknowledged after a refusal;"
    if [ -z "$why" ]; then pass full_ring_refuses_with_exception_4
    else fail full_ring_refuses_with_exception_4 "$why"; fi

    start_server
    why=
    wait_until 60 server_has_lines "$n_acked" || why="server got $(server_lines) of $n_acked;"
    wait_until 10 no_records || why="$why records left: $(records | tr '\n' ' ');"
    server_got_exactly "$acked" ||
        why="$why order/content differs: first lines $(head -3 "$SERVER_LOG" | tr '\n' ' ') last $(tail -2 "$SERVER_LOG" | tr '\n' ' ')"
    if [ -z "$why" ]; then pass full_stick_loses_no_acknowledged_write
    else fail full_stick_loses_no_acknowledged_write "$why"; fi

    # Round 2: the stick fills up again during a new outage and is then
    # cleared while the daemon holds the write that did not fit: that write
    # and everything queued behind it go to the stick in order.
    stop_server
    : > "$SERVER_LOG"
    ask seq 2000 $((n_records + 1 + 5))
    acked=$(answered OK)
    why=
    [ "$(echo "$acked" | grep -c .)" -eq $((n_records + 6)) ] || why="answers: $ANSWERS;"
    wait_until 10 store_failures_reach 2 || why="$why no store failure logged;"
    rm -f "$FLASH/fill"
    wait_until 10 record_count_is $((n_records + 6)) || why="$why $(record_count) records;"
    [ "$(record_contents)" = "$acked" ] || why="$why records: $(record_listing | tr '\n' ';')"
    [ "$(store_failures)" -eq 2 ] || why="$why $(store_failures) store failure lines;"
    if [ -z "$why" ]; then pass cleared_stick_takes_held_write_in_order
    else fail cleared_stick_takes_held_write_in_order "$why"; fi

    start_server
    why=
    wait_until 60 server_has_lines $((n_records + 6)) || why="server got $(server_lines);"
    wait_until 10 no_records || why="$why records left;"
    server_got_exactly "$acked" || why="$why server got: $(tr '\n' ' ' < "$SERVER_LOG")"
    if [ -z "$why" ]; then pass cleared_stick_records_delivered
    else fail cleared_stick_records_delivered "$why"; fi
    kill -9 "$DAEMON_PID"
}

no_record_open() { ! ls -l "/proc/$DAEMON_PID/fd" 2>/dev/null | grep -q -- "-> $CACHE/"; }

# Fresh partitioned stick, server down: acknowledged writes are stored, then
# the host cuts the power (kills qemu) with nothing synced or unmounted.
role_power_cut() {
    start_on_partitioned_stick
    wait_until 20 daemon_holds_line || say "daemon never opened the line"
    ask w $A $B $C $D $E
    why=
    [ "$(answered OK | tr '\n' ' ')" = "$A $B $C $D $E " ] || why="acks: $ANSWERS"
    # Stored: five records and none still being written.
    wait_until 20 record_count_is 5 || why="$why $(record_count) records;"
    wait_until 5 no_record_open || why="$why a store never ended;"
    # The directory's sync follows the renames.
    sleep 1
    if [ -z "$why" ]; then pass power_cut_writes_stored; else fail power_cut_writes_stored "$why"; fi
    echo "STICK-BOOT-DONE"
    echo "STICK-POWER-CUT"
    sleep 60
    # Not cut by the host: power off all the same without a sync.
    poweroff -f -n
}

# The same stick after the power cut: every stored record is there, whole,
# and is delivered.
role_after_power_cut() {
    load_modules
    wait_for_block sda1
    start_syslog
    write_settings
    # Looked at before the daemon starts; it then finds the stick mounted.
    mount -t vfat /dev/sda1 "$FLASH"
    expected="000000001.bin $A
000000002.bin $B
000000003.bin $C
000000004.bin $D
000000005.bin $E"
    listing=$(record_listing)
    if [ "$listing" = "$expected" ]; then pass power_cut_records_whole
    else fail power_cut_records_whole "records: $(echo "$listing" | tr '\n' ';')"; fi

    start_master
    start_server
    start_daemon
    why=
    wait_until 60 server_has_lines 5 || why="server got $(server_lines);"
    wait_until 10 no_records || why="$why records left: $(records | tr '\n' ' ');"
    [ "$(tr '\n' ' ' < "$SERVER_LOG")" = "$A $B $C $D $E " ] ||
        why="$why server got: $(tr '\n' ' ' < "$SERVER_LOG")"
    if [ -z "$why" ]; then pass power_cut_records_delivered
    else fail power_cut_records_delivered "$why"; fi
    kill -9 "$DAEMON_PID"
}

# pull_stick / plug_stick: the host pulls the stick out (or plugs the same
# one in again) through qemu's monitor; each returns once the kernel has
# dropped the disk, or found it again.
SWAPS=0
ask_host() {
    SWAPS=$((SWAPS + 1))
    echo "STICK-MONITOR $SWAPS $1"
}
pull_stick() {
    ask_host pull
    wait_until 30 test ! -e /dev/sda || say "/dev/sda still there"
}
plug_stick() {
    ask_host plug
    wait_until 30 grep -q ' sd[a-z]1$' /proc/partitions || say "no disk came"
}
stick_let_go() { ! grep -q " $FLASH " /proc/mounts; }
record_holds() { record_contents | grep -qx "$1"; }
delivering_or_gone() { server_has_lines 1 || ! kill -0 "$DAEMON_PID" 2>/dev/null; }
disks() { ls /sys/block | grep '^sd' | tr '\n' ' '; }

# The stick is pulled out during an outage and plugged in again: writes
# wait in the ring while it is out, and go on to it behind its records once
# it is back. Then it is pulled again while the daemon has no cause to
# notice, the daemon is restarted without it, and once it is back a start
# delivers every record, old ones first, each once.
role_swap() {
    start_on_partitioned_stick
    wait_until 20 daemon_holds_line || say "daemon never opened the line"
    ask w $A $B
    why=
    [ "$(answered OK | tr '\n' ' ')" = "$A $B " ] || why="acks: $ANSWERS;"
    wait_until 20 record_count_is 2 || why="$why $(record_count) records;"
    # The directory's sync follows the renames.
    sleep 1

    pull_stick
    # The first store on the stick that is gone fails: it is let go.
    ask w $C $D
    [ "$(answered OK | tr '\n' ' ')" = "$C $D " ] || why="$why acks after the pull: $ANSWERS;"
    wait_until 20 syslog_has notice "stick is gone (" || why="$why never let go;"
    wait_until 10 syslog_has notice "mount has failed (" || why="$why no mount attempt;"
    [ "$(syslog_count "stick is gone")" -eq 1 ] || why="$why $(syslog_count "stick is gone") let-go lines;"
    grep -q " $FLASH " /proc/mounts && why="$why still mounted: $(grep " $FLASH " /proc/mounts);"
    say "after the pull: $(grep -F -e "stick is gone" -e "mount has failed" "$SYSLOG" | sed 's/.*]: //' | tr '\n' ';')"
    if [ -z "$why" ]; then pass pulled_stick_let_go; else fail pulled_stick_let_go "$why"; fi

    plug_stick
    why=
    wait_until 20 syslog_has notice "stick is mounted, 2 records waiting" ||
        why="logged: $(grep -F "stick is mounted" "$SYSLOG" | sed 's/.*]: //');"
    mounted_from /dev/sda1 || why="$why mounts: $(grep " $FLASH " /proc/mounts); disks: $(disks);"
    # The writes that waited in the ring follow the stick's own records.
    wait_until 10 record_count_is 4
    expected="000000001.bin $A
000000002.bin $B
000000003.bin $C
000000004.bin $D"
    listing=$(record_listing)
    [ "$listing" = "$expected" ] || why="$why records: $(echo "$listing" | tr '\n' ';')"
    [ "$(syslog_count "mount has failed")" -eq 1 ] || why="$why $(syslog_count "mount has failed") mount failure lines;"
    say "after the plug: disks $(disks), $(grep -F "stick is mounted" "$SYSLOG" | sed 's/.*]: //')"
    if [ -z "$why" ]; then pass replugged_stick_takes_waiting_writes
    else fail replugged_stick_takes_waiting_writes "$why"; fi

    ask w $E
    [ "$(answered OK)" = "$E" ] || say "acks: $ANSWERS"
    wait_until 10 record_count_is 5 || say "$(record_count) records"
    # Its directory's sync, as above.
    sleep 1
    # Pulled while the daemon has nothing to store: the mount is left dead
    # under it when it is killed. A start must not hang on it.
    pull_stick
    kill "$DAEMON_PID"
    wait "$DAEMON_PID" 2>/dev/null
    timeout 60 $DAEMON 3>&-
    status=$?
    left=$(grep " $FLASH " /proc/mounts | tr '\n' ';')
    say "start without the stick: status $status, mounts: $left"
    why=
    [ "$status" -eq 1 ] || why="status $status;"
    wait_until 10 syslog_has err "init cache has failed, exiting..." || why="$why no init-cache line;"
    # Left there, the dead mount would keep the disk's name from the stick
    # that comes next.
    [ -z "$left" ] || why="$why dead mount left: $left"
    if [ -z "$why" ]; then pass restart_without_stick_exits
    else fail restart_without_stick_exits "$why"; fi

    plug_stick
    say "plugged again: disks $(disks)"
    start_server
    start_daemon
    why=
    if wait_until 20 delivering_or_gone && kill -0 "$DAEMON_PID" 2>/dev/null; then
        ask w $F $G
        [ "$(answered OK | tr '\n' ' ')" = "$F $G " ] || why="acks: $ANSWERS;"
        wait_until 30 server_has_lines 7
        wait_until 10 no_records || why="$why records left: $(records | tr '\n' ' ');"
    else
        why="daemon exited or delivered nothing;"
    fi
    [ "$(tr '\n' ' ' < "$SERVER_LOG")" = "$A $B $C $D $E $F $G " ] ||
        why="$why server got: $(tr '\n' ' ' < "$SERVER_LOG"); disks: $(disks)"
    if [ -z "$why" ]; then pass swapped_stick_writes_delivered_once_in_order
    else fail swapped_stick_writes_delivered_once_in_order "$why"; fi

    # The records' removals are still in the kernel's cache after their
    # delivery, not on the stick, unless the daemon synced them before it
    # sent anything newer. Pulled right after a newer write, the stick must
    # not bring them back to be delivered behind it. A store during the
    # outage that follows lets the dead stick go, so that the stick plugged
    # back gets its name again.
    ask w $H
    wait_until 10 grep -qx "$H" "$SERVER_LOG" || say "$H never arrived"
    pull_stick
    stop_server
    ask w $I
    wait_until 20 stick_let_go || say "the pulled stick was never let go"
    plug_stick
    why=
    wait_until 20 record_holds "$I" || why="$I not stored: $(record_listing | tr '\n' ';');"
    start_server
    wait_until 30 grep -qx "$I" "$SERVER_LOG" || why="$why $I never arrived;"
    after=$(sed -n "/^$H\$/,\$p" "$SERVER_LOG" | tr '\n' ' ')
    [ "$after" = "$H $I " ] || why="$why after the newer write: $after"
    if [ -z "$why" ]; then pass pull_after_delivery_sends_no_record_behind_newer_write
    else fail pull_after_delivery_sends_no_record_behind_newer_write "$why"; fi
    kill -9 "$DAEMON_PID" 2>/dev/null
}

# Stopped by SIGTERM during an outage: ten writes become records while the
# server is away; then a server that takes the connection and never answers
# holds the first record in an exchange while forty more writes pile up in
# the ring. The stop cuts the exchange short and puts the ring on the stick
# behind the records; the next start delivers all fifty, once each, in order.
role_orderly_stop() {
    load_modules
    wait_for_block sda1
    start_syslog
    # Long enough that the held exchange outlasts the forty writes.
    write_settings 1 30000
    start_master
    start_daemon
    wait_until 20 daemon_holds_line || say "daemon never opened the line"
    ask seq 3000 10
    acked=$(answered OK)
    why=
    wait_until 20 record_count_is 10 || why="$(record_count) records before the server came;"
    start_server /tmp/never
    wait_until 20 server_has_lines 1 || why="$why the first record never went out;"
    ask seq 3010 40
    acked="$acked
$(answered OK)"
    [ "$(echo "$acked" | grep -c .)" -eq 50 ] || why="$why acks: $(echo "$ANSWERS" | grep -v '^OK' | head -3 | tr '\n' ';');"
    say "before the stop: $(record_count) records, the silent server got $(server_lines)"

    # Killed after 10 s should the stop hang: status 137.
    ( sleep 10; kill -9 "$DAEMON_PID" 2>/dev/null ) &
    watchdog=$!
    asked=$(cut -d' ' -f1 /proc/uptime)
    kill -TERM "$DAEMON_PID"
    wait "$DAEMON_PID"
    status=$?
    took=$(awk -v a="$asked" '{ printf "%.2f", $1 - a }' /proc/uptime)
    kill "$watchdog" 2>/dev/null
    say "stop: status $status after $took s; $(grep -F "]: stopped" "$SYSLOG" | sed 's/.*]: //')"
    [ "$status" -eq 0 ] || why="$why status $status;"
    awk -v t="$took" 'BEGIN { exit !(t < 5) }' || why="$why took $took s;"
    syslog_has notice "stopped, 40 messages kept on the stick" ||
        why="$why logged: $(grep -F "]: stopped" "$SYSLOG" | sed 's/.*]: //');"
    if [ -z "$why" ]; then pass orderly_stop_exits_in_time; else fail orderly_stop_exits_in_time "$why"; fi

    if [ "$(record_contents)" = "$acked" ]; then pass orderly_stop_keeps_the_ring_on_the_stick
    else fail orderly_stop_keeps_the_ring_on_the_stick "$(record_count) records: $(record_listing | head -3 | tr '\n' ';')"; fi

    stop_server
    mv "$SERVER_LOG" /tmp/silent-server.log
    start_server
    start_daemon
    why=
    wait_until 30 server_has_lines 50 || why="server got $(server_lines);"
    wait_until 10 no_records || why="$why records left: $(records | tr '\n' ' ');"
    # Anything sent twice would be in by now.
    sleep 1
    server_got_exactly "$acked" ||
        why="$why server got $(server_lines): $(head -2 "$SERVER_LOG" | tr '\n' ' ')... $(tail -2 "$SERVER_LOG" | tr '\n' ' ')"
    if [ -z "$why" ]; then pass stopped_writes_delivered_once_in_order
    else fail stopped_writes_delivered_once_in_order "$why"; fi
    kill -9 "$DAEMON_PID"
}

say "role $ROLE, /init at $(cut -d" " -f1 /proc/uptime) s"
case "$ROLE" in
    direct) role_direct ;;
    no_stick) role_no_stick ;;
    first) role_first ;;
    second) role_second ;;
    full) role_full ;;
    power_cut) role_power_cut ;;
    after_power_cut) role_after_power_cut ;;
    swap) role_swap ;;
    orderly_stop) role_orderly_stop ;;
    *) say "unknown role '$ROLE'" ;;
esac
if [ -s "$SYSLOG" ]; then
    say "daemon log:"
    grep -F "korvane[" "$SYSLOG" | sed 's/^/stick-vm:   /' | tail -40
fi
finish
