# shellcheck shell=sh disable=SC2086
# Guest part of bench/stick_drain.sh (after the common start of
# bench/stick_vm.sh): for each daemon, the ring's rate on the empty stick,
# then its own stick of RECORDS records drained. /etc/bench.conf sets
# RECORDS and SECONDS, the bound of a stick run; STRACE, when not empty,
# runs each daemon under strace -c.
. /etc/bench.conf
bench_settings 10000
wait_until 30 test -e /sys/block/sdc
# Each stick's device number by its size in MiB (see bench/stick_drain.sh).
for b in /sys/block/sd?; do
    eval "stick_$(( $(cat $b/size) / 2048 ))=$(cat $b/dev)"
done
# The daemon mounts /dev/sda: that name is given to the stick of the run.
use_stick() {
    while grep -q " $FLASH " /proc/mounts; do umount $FLASH || break; done
    rm -f /dev/sd[a-z] /dev/sd[a-z][0-9]
    mknod /dev/sda b ${1%:*} ${1#*:}
}
now() { cut -d' ' -f1 /proc/uptime; }
# The master stays up all along: the line never hangs up between daemons.
mkfifo /tmp/commands
rtu_master /dev/ttyUSB0 /tmp/commands /tmp/master.out &
wait_until 10 test -L /dev/ttyUSB0
exec 3<>/tmp/commands
run() {
    build=$1 what=$2
    : > /tmp/syslog
    # STRACE: the daemon's system calls counted, with the time in each.
    ${STRACE:+/opt/korvane/bin/strace -f -c -w -o /tmp/strace.out} /opt/korvane/bin/korvane-$build &
    daemon=$!
}
stop() {
    kill $(pidof korvane-$build)
    wait $daemon
    [ -z "$STRACE" ] || sed "s/^/STRACE $build $what /" /tmp/strace.out
    echo "daemon log, $build $what:"
    grep -F 'korvane[' /tmp/syslog | tail -4
}
# Three ring runs a daemon, the two daemons in turn: the host takes the
# median of each one's, as 99 deliveries are over in a tenth of a second.
for round in 1 2 3; do
    for build in old new; do
        use_stick $stick_258
        # The first write is held 7 s at the server; the other 99 fill the
        # ring (the master takes some 4.3 s for them under TCG).
        stick_drain 1502 100 2 60 7000 > /tmp/drain.out &
        server=$!
        run $build ring
        wait_until 30 grep -q 'Succesfully connected to' /tmp/syslog
        : > /tmp/master.out
        from=$(now)
        echo "seq 1 100" >&3
        wait_until 30 grep -q '^DONE' /tmp/master.out
        wait $server
        echo "DRAIN $build ring $(cat /tmp/drain.out) master $(awk -v f=$from -v t=$(now) 'BEGIN { print t - f }')s $(grep -c '^OK' /tmp/master.out) acknowledged"
        stop
    done
done
for build in old new; do
    eval "use_stick \$stick_$([ $build = old ] && echo 256 || echo 257)"
    stick_drain 1502 $RECORDS 1 $SECONDS > /tmp/drain.out &
    server=$!
    run $build stick
    wait $server
    echo "DRAIN $build stick $(cat /tmp/drain.out)"
    stop
done
