# shellcheck shell=sh
# Guest part of bench/powercut.sh (after the common start of
# bench/stick_vm.sh). The kernel command line says which boot this is:
# korvane_cut=K (0 the first) and korvane_last=1 for the one that only
# delivers. /etc/bench.conf sets DURABLE.
#   delivery (K > 0): the server is there; korvane delivers what the cut
#       before left on the stick; the server's log goes out on the report
#       port as "D HEX" lines, then "END-DELIVERY K".
#   writing (unless last): the server is away; powercut_master writes from
#       K * 1000000 on without pause, its lines on the report port, after
#       "WRITING K"; the host cuts the power at a moment of its choosing.
# The report port is the second serial port, a file on the host.
. /etc/bench.conf
CUT=$(sed -n 's/.*korvane_cut=\([0-9]*\).*/\1/p' /proc/cmdline)
LAST=$(sed -n 's/.*korvane_last=\([0-9]*\).*/\1/p' /proc/cmdline)
REPORT=/dev/ttyS1
CACHE=$FLASH/cache
stty -F $REPORT raw -echo
exec 4>$REPORT
cat > /opt/korvane/etc/settings <<SETTINGS
MOD_KORVANE_DEVICE="ttyUSB0"
MOD_KORVANE_BAUDRATE="115200"
MOD_KORVANE_SPLIT="0"
MOD_KORVANE_ADDR="127.0.0.1"
MOD_KORVANE_PORT="1502"
MOD_KORVANE_TIMEOUT="2000"
MOD_KORVANE_CACHE_MODE="1"
MOD_KORVANE_DURABLE="$DURABLE"
SETTINGS
syslogd -n -O /tmp/syslog &
wait_until 10 test -S /dev/log
say() { echo "POWERCUT $*"; }
log_lines() {
    grep -F 'korvane[' /tmp/syslog | grep -v -F 'connect socket error' | sed 's/.*]: /  log: /'
}
records_left() { ls "$CACHE" 2>/dev/null | grep -c -e '\.bin$' -e '\.tmp$'; }
no_files_left() { [ "$(records_left)" -eq 0 ]; }
connected() { grep -q -F 'Succesfully connected' /tmp/syslog; }
daemon_holds_line() {
    ls -l "/proc/$daemon/fd" 2>/dev/null | grep -q -- "-> $(readlink -f /dev/ttyUSB0)\$"
}

if [ "$CUT" -gt 0 ]; then
    # What the cut left, looked at before korvane takes the stick.
    mount -t vfat /dev/sda $FLASH
    say "cut $((CUT - 1)) left: $(ls "$CACHE" | grep -c '\.bin$') records, temporary: $(ls "$CACHE" | grep '\.tmp$' | tr '\n' ' ')"
    for f in "$CACHE"/*; do
        [ -e "$f" ] || continue
        size=$(stat -c %s "$f")
        [ "$size" -eq 15 ] || say "  odd file ${f##*/}: $size bytes: $(xxd -p "$f" | tr -d '\n')"
    done
    tcp_server 1502 /tmp/server.log /tmp/server.ready &
    server=$!
    wait_until 10 test -e /tmp/server.ready
    : > /tmp/syslog
    /opt/korvane/bin/korvane &
    daemon=$!
    wait_until 20 connected || say "never connected"
    wait_until 120 no_files_left || say "files left: $(ls "$CACHE" | head -5 | tr '\n' ' ')"
    kill "$daemon"
    wait "$daemon"
    say "delivery: korvane status $?"
    kill "$server"
    wait "$server" 2>/dev/null
    log_lines
    # The cut under test comes in the writing phase: what was delivered here
    # stays delivered.
    sync
    [ -e /tmp/server.log ] && sed 's/^/D /' /tmp/server.log >&4
    echo "END-DELIVERY $CUT $(wc -l < /tmp/server.log)" >&4
    rm -f /tmp/server.log
fi
if [ "$LAST" = 1 ]; then
    echo "END-LAST" >&4
else
    : > /tmp/syslog
    rm -f /tmp/go
    powercut_master /dev/ttyUSB0 $REPORT $((CUT * 1000000)) /tmp/go &
    wait_until 10 test -L /dev/ttyUSB0
    /opt/korvane/bin/korvane &
    daemon=$!
    wait_until 20 daemon_holds_line || say "korvane never opened the line"
    echo "WRITING $CUT" >&4
    touch /tmp/go
    say "writing from $((CUT * 1000000))"
    sleep 600
fi
