# shellcheck shell=sh disable=SC1091
# Guest part of bench/stick_ack.sh (after the common start of
# bench/stick_vm.sh): direct mode's round trip of a write with the server
# up, then cache mode with the server away, durable off and on, each case
# a fresh daemon on an empty cache directory. /etc/bench.conf sets COUNT.
. /etc/bench.conf
syslogd -n -O /tmp/syslog &
wait_until 10 test -S /dev/log
# One server for korvane, one for roundtrip's direct exchanges.
tcp_server 1502 /tmp/server.log /tmp/server.ready &
server=$!
tcp_server 1503 /tmp/direct.log /tmp/direct.ready &
wait_until 10 test -e /tmp/server.ready -a -e /tmp/direct.ready

# run WHAT CACHE_MODE DURABLE: prints "ACK WHAT|roundtrip's figures|statistics"
run() {
    cat > /opt/korvane/etc/settings <<SETTINGS
MOD_KORVANE_DEVICE="ttyUSB0"
MOD_KORVANE_BAUDRATE="115200"
MOD_KORVANE_SPLIT="0"
MOD_KORVANE_ADDR="127.0.0.1"
MOD_KORVANE_PORT="1502"
MOD_KORVANE_TIMEOUT="1000"
MOD_KORVANE_CACHE_MODE="$2"
MOD_KORVANE_DURABLE="$3"
SETTINGS
    rm -rf "$FLASH/cache" /dev/ttyUSB0 /var/lock/LCK..ttyUSB0 /tmp/rt.out
    sync
    roundtrip --link /dev/ttyUSB0 --tcp 127.0.0.1:1503 --count "$COUNT" --request write --pause-ms 1 \
        > /tmp/rt.out 2>&1 &
    client=$!
    wait_until 10 test -s /tmp/rt.out
    /opt/korvane/bin/korvane &
    daemon=$!
    wait $client
    kill -USR1 $daemon
    wait_until 5 grep -q "korvane\[$daemon\]: statistics" /tmp/syslog
    kill $daemon
    wait $daemon
    echo "ACK $1|$(tail -n 1 /tmp/rt.out)|$(grep "korvane\[$daemon\]: statistics" /tmp/syslog | tail -n 1 |
        sed 's/.*statistics: //')"
}
run "direct mode, server up" 0 0
kill $server
run "cache, durable off, server away" 1 0
run "cache, durable on, server away (stick)" 1 1
echo "daemon log:"
grep -F 'korvane[' /tmp/syslog | grep -v -F -e statistics -e 'connect socket error' | tail -20
