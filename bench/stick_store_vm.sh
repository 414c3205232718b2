# shellcheck shell=sh disable=SC2086
# Guest part of bench/stick_store.sh (after the common start of
# bench/stick_vm.sh): each daemon in turn stores writes on the same stick
# with the server away, one write at a time, then with the ring kept full.
# /etc/bench.conf sets SINGLE and FULL, the writes of each run (0: none),
# and PREFILL, the records already on the stick (numbered 1 to PREFILL);
# STRACE, when not empty, runs each daemon under strace -c.
. /etc/bench.conf
bench_settings 1000
for mode in single full; do
    count=$SINGLE
    [ $mode = full ] && count=$FULL
    [ "$count" -eq 0 ] && continue
    for build in old new; do
        # The stick as it was before the first run: an empty one gets a
        # fresh cache directory (the daemon makes it when it starts); a
        # prefilled one keeps records 1 to PREFILL and loses the rest.
        grep -q " $FLASH " /proc/mounts || mount -t vfat /dev/sda $FLASH
        if [ "$PREFILL" -eq 0 ]; then
            rm -rf $FLASH/cache
        else
            rm -rf $FLASH/cache/tmp
            # Compared as text: busybox awk reads 000001001 as octal.
            ls $FLASH/cache | awk -v p="$PREFILL" -v d=$FLASH/cache/ \
                'BEGIN { last = sprintf("%09d.bin", p) } !(/^[0-9]+\.bin$/ && length($0) == 13 && $0 <= last) { print d $0 }' |
                xargs rm -f
            echo "records on the stick before the $build $mode run: $(ls $FLASH/cache | wc -l)"
        fi
        sync
        umount $FLASH
        rm -f /dev/ttyUSB0
        timeout 600 stick_store /dev/ttyUSB0 $FLASH/cache $mode "$count" > /tmp/store.out 2> /tmp/store.err &
        helper=$!
        wait_until 10 test -L /dev/ttyUSB0
        : > /tmp/syslog
        # STRACE: the daemon's system calls counted, with the time in each.
        ${STRACE:+/opt/korvane/bin/strace -f -c -w -o /tmp/strace.out} /opt/korvane/bin/korvane-$build &
        daemon=$!
        wait $helper
        echo "STORE $build $(cat /tmp/store.out)"
        echo "STORE-TIMES $build $mode:$(cat /tmp/store.err)"
        kill $(pidof korvane-$build)
        wait $daemon
        [ -z "$STRACE" ] || sed "s/^/STRACE $build $mode /" /tmp/strace.out
        echo "daemon log, $build $mode:"
        grep -F 'korvane[' /tmp/syslog | grep -v -c -F 'ring buffer is full' | sed 's/^/  lines other than "ring buffer is full": /'
        grep -F 'korvane[' /tmp/syslog | grep -v -F -e 'ring buffer is full' -e 'connect socket error' | tail -5
    done
done
