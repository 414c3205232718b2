# shellcheck shell=bash
# Sourced by the benchmarks that boot the real-stick machine of
# tests/stick/run.sh (x86-64): its kernel, modules, busybox and helpers are
# reused (run.sh is run once when its work directory is missing); each
# benchmark adds its own programs and the part of /init that is its own.
#
#   stick_vm_prepare NAME       $vm: a fresh directory under run.sh's work
#                               directory, with a copy of its initrd tree
#                               in $vm/initrd.d
#   stick_vm_init ROLE_FILE     /init: the common start (devices, modules,
#                               /dev/sda there, wait_until), then ROLE_FILE,
#                               then power off
#   stick_vm_daemon BINARY NAME copies BINARY to /opt/korvane/bin/NAME and
#                               the libraries it needs
#   stick_vm_pair NAME HELPER   the baseline ($old) and the daemon of
#                               $build, built, in a fresh machine (as
#                               stick_vm_prepare NAME) as korvane-old and
#                               korvane-new, with HELPER.c of bench/ (static)
#                               in it and stick_prefill beside it, and strace
#                               when KORVANE_STRACE is set
#   stick_vm_image IMAGE MIB [RECORDS]
#                               a fresh FAT32 stick of MIB MiB, RECORDS
#                               records in its cache/
#   stick_vm_boot IMAGE SECONDS MARKER
#                               boots with IMAGE as the USB stick (and each
#                               of the array stick_vm_more_images as one
#                               more) and prints the guest's lines that
#                               start with MARKER
#
# KORVANE_STICK_BUILD is run.sh's build directory (default /tmp/b-stick).

stick_vm_run_sh=$(cd "$(dirname "${BASH_SOURCE[0]}")/../tests/stick" && pwd)/run.sh

stick_vm_prepare() {
    local build=${KORVANE_STICK_BUILD:-/tmp/b-stick}
    stick_work=$build/x86_64/stick
    if [ ! -d "$stick_work/initrd.d" ]; then
        echo "preparing the real-stick machine (tests/stick/run.sh, a few minutes)" >&2
        KORVANE_STICK_BUILD=$build "$stick_vm_run_sh" x86_64 >"$build.run.log" 2>&1 || true
        [ -d "$stick_work/initrd.d" ] || { tail -20 "$build.run.log" >&2; return 1; }
    fi
    stick_vmlinuz=$(ls "$stick_work"/packages/linux-image-*/boot/vmlinuz-* | head -1)
    vm=$stick_work/$1
    rm -rf "$vm"
    mkdir -p "$vm"
    cp -a "$stick_work/initrd.d" "$vm/initrd.d"
}

stick_vm_daemon() {
    local lib
    cp "$1" "$vm/initrd.d/opt/korvane/bin/$2"
    for lib in $(ldd "$1" | grep -o '/[^ ]*'); do
        mkdir -p "$vm/initrd.d$(dirname "$lib")"
        cp -L "$lib" "$vm/initrd.d$lib"
    done
}

stick_vm_pair() {
    local bench_dir
    bench_dir=$(dirname "${BASH_SOURCE[0]}")
    bench_build "$build" korvane
    old=$(baseline_daemon "$build")
    stick_vm_prepare "$1"
    gcc -static -O2 -Wall -Wextra -Werror -o "$vm/initrd.d/bin/$2" "$bench_dir/$2.c"
    gcc -O2 -Wall -Wextra -Werror -o "$vm/stick_prefill" "$bench_dir/stick_prefill.c"
    stick_vm_daemon "$old" korvane-old
    stick_vm_daemon "$build/korvane" korvane-new
    [ -z "${KORVANE_STRACE:-}" ] || stick_vm_daemon "$(command -v strace)" strace
    mkdir -p "$vm/initrd.d/etc"
}

stick_vm_image() {
    truncate -s 0 "$1"
    truncate -s "$2M" "$1"
    mkfs.vfat -F 32 -n KORVANE "$1" >/dev/null
    [ "${3:-0}" -eq 0 ] || "$vm/stick_prefill" "$1" "$3"
}

stick_vm_more_images=()

stick_vm_init() {
    {
        cat <<'INIT'
#!/bin/sh
export PATH=/bin
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
mkdir -p /dev/pts /tmp /var/lock /var/run/korvane/flash /opt/korvane/etc
mount -t devpts -o ptmxmode=0666,mode=620 devpts /dev/pts
[ -e /dev/ptmx ] || ln -s pts/ptmx /dev/ptmx
ip link set lo up
while read -r module params; do
    # shellcheck disable=SC2086
    insmod "/lib/modules/$module" $params
done < /lib/modules/load-order
wait_until() {
    end=$(( $(date +%s) + $1 )); shift
    until "$@"; do [ "$(date +%s)" -ge "$end" ] && return 1; usleep 50000; done
}
wait_until 30 test -e /dev/sda
FLASH=/var/run/korvane/flash
# bench_settings TIMEOUT: the daemon in cache mode on ttyUSB0, its server
# 127.0.0.1:1502 with TIMEOUT ms; syslog in /tmp/syslog.
bench_settings() {
    cat > /opt/korvane/etc/settings <<SETTINGS
MOD_KORVANE_DEVICE="ttyUSB0"
MOD_KORVANE_BAUDRATE="115200"
MOD_KORVANE_SPLIT="0"
MOD_KORVANE_ADDR="127.0.0.1"
MOD_KORVANE_PORT="1502"
MOD_KORVANE_TIMEOUT="$1"
MOD_KORVANE_CACHE_MODE="1"
SETTINGS
    syslogd -n -O /tmp/syslog &
    wait_until 10 test -S /dev/log
}
INIT
        cat "$1"
        printf 'sync\npoweroff -f\n'
    } > "$vm/initrd.d/init"
    chmod 755 "$vm/initrd.d/init"
}

stick_vm_boot() {
    local image=$1 seconds=$2 marker=$3 more=() extra
    for extra in "${stick_vm_more_images[@]}"; do
        more+=(-drive "if=none,id=$(basename "$extra" .img),format=raw,file=$extra"
               -device "usb-storage,drive=$(basename "$extra" .img)")
    done
    (cd "$vm/initrd.d" && find . | busybox cpio -o -H newc 2>/dev/null) > "$vm/initrd"
    timeout "$seconds" qemu-system-x86_64 -accel tcg -m 512 -kernel "$stick_vmlinuz" -initrd "$vm/initrd" \
        -append "console=ttyS0 panic=-1 quiet" -nographic -no-reboot -nodefaults -serial stdio \
        -device qemu-xhci -drive "if=none,id=stick,format=raw,file=$image" \
        -device usb-storage,drive=stick "${more[@]}" </dev/null > "$vm/boot.log" 2>&1 || true
    tr -d '\r' < "$vm/boot.log" | sed -n "s/^.*$marker //p"
}
