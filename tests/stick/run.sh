#!/bin/bash
# Real-stick suite: runs the daemon as built, in cache mode, on a Debian
# kernel booted under qemu (TCG) with an emulated USB stick holding a real
# vfat file system. One boot per role:
#   direct    direct mode: an exchange with a server in the machine,
#             exceptions 10 and 11
#   no_stick  no stick plugged in: start-up must give up cleanly
#   first     fresh partitioned stick (/dev/sda1), server down: records,
#             each batch flushing the stick's cache twice (qemu's trace of
#             the SCSI commands the stick receives, counted here)
#   second    same stick after a restart: old records delivered first
#   full      small unpartitioned stick (/dev/sda), filled up
#   power_cut fresh stick, records stored, then qemu killed: no sync
#   after_power_cut  same stick: the stored records are there and delivered
#   swap      stick pulled out and plugged in again during an outage, then
#             pulled again and the daemon restarted without it: nothing
#             acknowledged is lost or sent twice; then pulled right after a
#             write that followed the deliveries: no record comes back
#             behind that write
#   orderly_stop  SIGTERM during an outage with records on the stick and
#             writes in the ring: exit 0 in time, all kept, then delivered
#             once each in order
# Each case prints PASS or FAIL; the last line is "N passed, M failed".
#
#   tests/stick/run.sh [x86_64|arm]   (as root; installs what it needs with apt-get)
#
# x86_64 (the default): Debian's amd64 kernel, the glibc daemon of a native
# build, and the serial master inside the machine on a pty.
# arm: Debian's armmp kernel on a 32-bit ARM virtual board, the static musl
# daemon and helpers for armhf; the serial line is an emulated FTDI USB
# adapter (/dev/ttyUSB0 through ftdi_sio) whose other end is a unix socket
# on the host, where the serial master runs, driven over a virtio port.
#
# KORVANE_STICK_BUILD names the build directory (default /tmp/b-stick); each
# architecture builds in its own subdirectory, and keeps the kernel package,
# the initrd and the stick images under its stick/.

set -u

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
arch=${1:-x86_64}
build=${KORVANE_STICK_BUILD:-/tmp/b-stick}/$arch
work=$build/stick
case $arch in
    x86_64)
        kernel_flavour=amd64
        qemu=(qemu-system-x86_64 -accel tcg -m 512)
        console=ttyS0
        toolchain=()
        helper_cc=(gcc -static)
        guest_helpers=(rtu_master tcp_server)
        line_modules=()
        adapter_cases=()
        ;;
    arm)
        kernel_flavour=armmp
        # Without highmem=off the PCIe host cannot claim its ECAM window and
        # there is no USB.
        qemu=(qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -m 256)
        console=ttyAMA0
        toolchain=(-DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/arm-linux-musleabihf.cmake")
        # musl's rules file for gcc's driver (option and file share one word).
        helper_cc=(arm-linux-gnueabihf-gcc -static "-sp""ecs" "/usr/lib/arm-linux-musleabihf/musl-gcc.sp""ecs")
        guest_helpers=(tcp_server)
        # The USB serial adapter, and the port that carries the master's
        # commands and results.
        line_modules=(ftdi_sio virtio_mmio virtio_console)
        adapter_cases=(line_settings_kept)
        ;;
    *) echo "unknown architecture '$arch' (x86_64 or arm)" >&2; exit 2 ;;
esac
boot_timeout=300
suite_start=$(date +%s)

passed=0
failed=0
boots=0

note() { echo "stick: $*"; }

pass_case() { echo "PASS $1"; passed=$((passed + 1)); }
fail_case() { echo "FAIL $1: $2"; failed=$((failed + 1)); }

give_up() {
    fail_case setup "$*"
    echo "$passed passed, $failed failed"
    exit 1
}

apt_updated=0
apt_install() {
    if [ $apt_updated -eq 0 ]; then
        apt-get -o DPkg::Lock::Timeout=600 update -qq >/dev/null || true
        apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "$@" >/dev/null
}

install_tools() {
    local missing=()
    if [ "$arch" = arm ]; then
        # The armhf kernel and busybox are fetched with apt-get download.
        if ! dpkg --print-foreign-architectures | grep -qx armhf; then
            dpkg --add-architecture armhf
            apt_updated=0
        fi
        command -v qemu-system-arm >/dev/null || missing+=(qemu-system-arm)
        command -v arm-linux-gnueabihf-g++ >/dev/null || missing+=(g++-arm-linux-gnueabihf)
        dpkg -s musl-dev:armhf >/dev/null 2>&1 || missing+=(musl-dev:armhf)
    else
        command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
        # The glibc daemon links Debian's static c-ares; the static arm one
        # builds its own from the source package.
        [ -e /usr/lib/x86_64-linux-gnu/libcares.a ] || missing+=(libc-ares-dev)
    fi
    dpkg -s busybox-static >/dev/null 2>&1 || missing+=(busybox-static)
    command -v mkfs.vfat >/dev/null || missing+=(dosfstools)
    command -v gcc >/dev/null || missing+=(gcc)
    [ -e /usr/lib/x86_64-linux-gnu/libc.a ] || missing+=(libc6-dev)
    command -v g++ >/dev/null || missing+=(g++)
    command -v cmake >/dev/null || missing+=(cmake)
    # The project's CMake file builds GoogleTest from its Debian sources.
    [ -d /usr/src/googletest ] || missing+=(googletest)
    command -v xz >/dev/null || missing+=(xz-utils)
    # Hands the guest's requests to pull and plug the stick to the monitor.
    command -v socat >/dev/null || missing+=(socat)
    if [ ${#missing[@]} -gt 0 ]; then
        note "installing ${missing[*]}"
        apt_install "${missing[@]}" || give_up "cannot install ${missing[*]}"
    fi
}

build_daemon() {
    if [ ! -e "$build/CMakeCache.txt" ]; then
        cmake -S "$source_dir" -B "$build" -DKORVANE_WERROR=ON -DKORVANE_INTEGRATION=OFF \
            "${toolchain[@]}" >"$work/cmake.log" 2>&1 || give_up "cmake configure failed, see $work/cmake.log"
    fi
    cmake --build "$build" -j2 --target korvane >"$work/build.log" 2>&1 ||
        give_up "daemon build failed, see $work/build.log"
}

# unpack_package PACKAGE: downloads a Debian package once and keeps it
# unpacked (never installed) in $work/packages/PACKAGE/, named by $unpacked.
unpack_package() {
    local package=$1 root=$work/packages/$1/
    if [ ! -d "$root" ]; then
        note "downloading $package"
        mkdir -p "$work/download" "$work/packages"
        (cd "$work/download" && rm -f ./*.deb && apt-get download -q "$package" >/dev/null 2>&1) ||
            give_up "apt-get download $package failed"
        rm -rf "${root%/}.part"
        dpkg-deb -x "$work"/download/*.deb "${root%/}.part" && mv "${root%/}.part" "$root" ||
            give_up "cannot unpack $package"
        rm -f "$work"/download/*.deb
    fi
    unpacked=$root
}

# Debian's current kernel for the architecture.
fetch_kernel() {
    local meta=linux-image-$kernel_flavour package
    [ "$arch" = arm ] && meta=$meta:armhf
    package=$(apt-cache depends "$meta" 2>/dev/null |
        sed -n "s/^ *Depends: \(linux-image-[0-9][^ :]*-$kernel_flavour\)\(:armhf\)\{0,1\}$/\1/p" | head -1)
    if [ -z "$package" ]; then
        apt-get -o DPkg::Lock::Timeout=600 update -qq >/dev/null || true
        apt_updated=1
        package=$(apt-cache depends "$meta" 2>/dev/null |
            sed -n "s/^ *Depends: \(linux-image-[0-9][^ :]*-$kernel_flavour\)\(:armhf\)\{0,1\}$/\1/p" | head -1)
    fi
    [ -n "$package" ] || give_up "no linux-image package found"
    [ "$arch" = arm ] && package=$package:armhf
    unpack_package "$package"
    kernel_root=$unpacked
    vmlinuz=$(ls "$kernel_root"boot/vmlinuz-* | head -1)
    module_dir=$(ls -d "$kernel_root"lib/modules/*/ | head -1)
    [ -f "$vmlinuz" ] && [ -d "$module_dir" ] || give_up "kernel unpacked badly in $kernel_root"
}

# The host's busybox on x86-64; for arm the armhf build, unpacked only
# (installing it would replace the host's).
fetch_busybox() {
    if [ "$arch" = arm ]; then
        unpack_package busybox-static:armhf
        busybox=${unpacked}bin/busybox
    else
        busybox=/bin/busybox
    fi
    [ -x "$busybox" ] || give_up "no busybox at $busybox"
}

# Modules for the stick: host controller, USB storage, SCSI disk, vfat and
# its code pages, each after what it depends on.
declare -A module_file=()
declare -A module_seen=()
module_order=()

index_modules() {
    local f name
    while IFS= read -r f; do
        name=${f##*/}
        name=${name%.xz}
        name=${name%.ko}
        module_file[${name//-/_}]=$f
    done < <(find "$module_dir/kernel" -name '*.ko' -o -name '*.ko.xz')
}

module_depends() {
    local f=$1
    if [[ $f == *.xz ]]; then xz -dc "$f"; else cat "$f"; fi |
        tr '\0' '\n' | sed -n 's/^depends=//p' | head -1 | tr ',' ' '
}

add_module() {
    local name=${1//-/_} dep
    [ -n "${module_seen[$name]:-}" ] && return 0
    module_seen[$name]=1
    [ -n "${module_file[$name]:-}" ] || give_up "kernel has no module $name"
    for dep in $(module_depends "${module_file[$name]}"); do
        add_module "$dep"
    done
    module_order+=("$name")
}

build_helpers() {
    local program
    for program in "${guest_helpers[@]}"; do
        "${helper_cc[@]}" -O2 -Wall -Wextra -Werror -o "$work/$program" "$here/$program.c" ||
            give_up "cannot build $program"
    done
    if [ "$arch" = arm ]; then
        gcc -O2 -Wall -Wextra -Werror -o "$work/rtu_master-host" "$here/rtu_master.c" ||
            give_up "cannot build the host's rtu_master"
    fi
}

build_initrd() {
    local stage=$work/initrd.d lib name f program
    rm -rf "$stage"
    mkdir -p "$stage"/{bin,dev,proc,sys,tmp,mnt,lib/modules,opt/korvane/bin,var/lock,var/run/korvane/flash}
    cp "$busybox" "$stage/bin/busybox"
    ln -s busybox "$stage/bin/sh"
    for program in "${guest_helpers[@]}"; do
        cp "$work/$program" "$stage/bin/"
    done
    cp "$here/vm_init.sh" "$stage/init"
    chmod 755 "$stage/init"
    cp "$build/korvane" "$stage/opt/korvane/bin/korvane"
    # A dynamically linked daemon brings its libraries and loader.
    if readelf -lW "$build/korvane" | grep -q ' INTERP '; then
        for lib in $(ldd "$build/korvane" | grep -o '/[^ ]*'); do
            mkdir -p "$stage$(dirname "$lib")"
            cp -L "$lib" "$stage$lib"
        done
    fi

    index_modules
    # sd_mod's integrity checksums are looked up by name, not linked.
    for name in crct10dif_generic crc64_rocksoft_generic xhci_pci usb_storage sd_mod \
                vfat nls_cp437 nls_ascii "${line_modules[@]}"; do
        add_module "$name"
    done
    : > "$stage/lib/modules/load-order"
    for name in "${module_order[@]}"; do
        f=${module_file[$name]}
        if [[ $f == *.xz ]]; then
            xz -dc "$f" > "$stage/lib/modules/$name.ko"
        else
            cp "$f" "$stage/lib/modules/$name.ko"
        fi
        # The stick would otherwise be scanned only after a second.
        if [ "$name" = usb_storage ]; then
            echo "$name.ko delay_use=0" >> "$stage/lib/modules/load-order"
        else
            echo "$name.ko" >> "$stage/lib/modules/load-order"
        fi
    done
    (cd "$stage" && find . | busybox cpio -o -H newc 2>/dev/null) > "$work/initrd" ||
        give_up "cannot pack the initrd"
}

le32() {
    printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) \
        $(($1 >> 16 & 255)) $(($1 >> 24 & 255))
}

# 64 MiB stick with an MBR and one FAT32 partition from sector 2048.
make_partitioned_stick() {
    local image=$1 sectors=131072 first=2048
    rm -f "$image"
    truncate -s $((sectors * 512)) "$image"
    mkfs.vfat -F 32 -n KORVANE --offset=$first "$image" $(((sectors - first) / 2)) \
        >/dev/null || give_up "mkfs.vfat of $image failed"
    # Partition 1: not active, type 0x0c (FAT32 LBA), CHS fields unused.
    printf "\\x00\\xfe\\xff\\xff\\x0c\\xfe\\xff\\xff$(le32 $first)$(le32 $((sectors - first)))" |
        dd of="$image" bs=1 seek=446 conv=notrunc status=none
    printf '\x55\xaa' | dd of="$image" bs=1 seek=510 conv=notrunc status=none
}

# 1 MiB stick, file system on the whole device, 512-byte clusters so that
# it can be filled to a known number of free clusters.
make_small_stick() {
    local image=$1
    rm -f "$image"
    truncate -s 1M "$image"
    mkfs.vfat --mbr=n -F 12 -s 1 -S 512 -n KORVANE "$image" >/dev/null ||
        give_up "mkfs.vfat of $image failed"
}

# The serial master for an arm boot runs on the host. The emulator starts
# the machine only once the master holds both the line's and the control
# port's sockets, so that no byte is lost; the master waits for each.
start_host_master() {
    "$work/rtu_master-host" --socket "$work/line.sock" "$work/control.sock" \
        >"$work/master-$1.log" 2>&1 &
    master_pid=$!
}

# boot ROLE IMAGE|- CASE...: boots once and reports the named cases.
boot() {
    local role=$1 image=$2 case_name line started elapsed rc qemu_pid master_pid=
    shift 2
    local log=$work/boot-$role.log
    # KORVANE_STICK_ROLES="role ...": only these boots, while working on them.
    [[ -z ${KORVANE_STICK_ROLES:-} || " $KORVANE_STICK_ROLES " == *" $role "* ]] || return 0
    local devices=(-device qemu-xhci,id=xhci)
    if [ "$image" != - ]; then
        devices+=(-drive "if=none,id=stick,format=raw,file=$image"
                  -device usb-storage,bus=xhci.0,drive=stick,id=stick-port)
    fi
    if [ "$arch" = arm ]; then
        rm -f "$work/line.sock" "$work/control.sock"
        devices+=(-chardev "socket,id=line,path=$work/line.sock,server=on,wait=on"
                  -device usb-serial,bus=xhci.0,chardev=line
                  -chardev "socket,id=control,path=$work/control.sock,server=on,wait=on"
                  -device virtio-serial-device
                  -device virtserialport,chardev=control,name=korvane.control)
    fi
    # The commands the stick receives, for the guest's flush counts.
    local trace=$work/trace-$role.log
    rm -f "$trace"
    started=$(date +%s)
    timeout $boot_timeout "${qemu[@]}" -trace "enable=scsi_req_parsed,file=$trace" \
        -kernel "$vmlinuz" -initrd "$work/initrd" \
        -append "console=$console panic=-1 quiet korvane_role=$role" \
        -nographic -no-reboot -nodefaults -serial stdio \
        -monitor "unix:$work/monitor.sock,server=on,wait=off" \
        "${devices[@]}" "${qemu_extra[@]}" </dev/null >"$log" 2>&1 &
    qemu_pid=$!
    [ "$arch" = arm ] && start_host_master "$role"
    wait "$qemu_pid"
    rc=$?
    if [ -n "$master_pid" ]; then
        kill "$master_pid" 2>/dev/null
        wait "$master_pid" 2>/dev/null
    fi
    elapsed=$(($(date +%s) - started))
    boots=$((boots + 1))
    note "boot $role: ${elapsed}s (log $log)"
    if ! grep -q '^STICK-BOOT-DONE' "$log"; then
        note "boot $role did not finish (qemu status $rc); last lines:"
        tail -15 "$log" | sed 's/^/stick:   /'
    fi
    # "STICK-FLUSHES <case> <n>": the stick must have received at least n
    # SYNCHRONIZE CACHE commands (operation code 0x35) in this boot.
    tr -d '\r' < "$log" | sed -n 's/^STICK-FLUSHES //p' | while read -r case_name least; do
        flushes=$(grep -c ' command 53 ' "$trace")
        note "boot $role: $flushes cache flushes reached the stick, at least $least wanted"
        if [ "$flushes" -ge "$least" ]; then echo "STICK-RESULT $case_name ok"
        else echo "STICK-RESULT $case_name fail $flushes flushes"; fi >> "$log"
    done
    for case_name in "$@"; do
        line=$(tr -d '\r' < "$log" | grep -m1 "^STICK-RESULT $case_name ")
        case "$line" in
            "STICK-RESULT $case_name ok") pass_case "$case_name" ;;
            "STICK-RESULT $case_name fail"*)
                fail_case "$case_name" "${line#STICK-RESULT $case_name fail }" ;;
            *) fail_case "$case_name" "no result (see $log)" ;;
        esac
    done
}

# Boots like boot, but cuts the power (kills qemu by its PID: nothing is
# synced or unmounted) as soon as the guest prints STICK-POWER-CUT.
qemu_extra=()
boot_and_cut_power() {
    local log=$work/boot-$1.log pidfile=$work/qemu-$1.pid watcher
    rm -f "$log" "$pidfile"
    (
        until [ -s "$pidfile" ] && grep -q STICK-POWER-CUT "$log" 2>/dev/null; do sleep 0.1; done
        kill -9 "$(cat "$pidfile")"
    ) &
    watcher=$!
    qemu_extra=(-pidfile "$pidfile")
    boot "$@"
    qemu_extra=()
    kill "$watcher" 2>/dev/null
    wait "$watcher" 2>/dev/null
}

# Boots like boot, and pulls the stick out or plugs it in again (the same
# image, under the same ids: qemu drops a drive with the device it was
# given to) whenever the guest prints "STICK-MONITOR <n> pull|plug", n
# counting from 1. The guest then waits for the device to go or come.
boot_and_swap_sticks() {
    local log=$work/boot-$1.log image=$2 watcher
    rm -f "$log" "$work/monitor-$1.log"
    (
        n=1
        while :; do
            line=$(grep -a -m1 "^STICK-MONITOR $n " "$log" 2>/dev/null | tr -d '\r')
            case "$line" in
                *" pull") command="device_del stick-port" ;;
                *" plug") command="drive_add 0 if=none,id=stick,format=raw,file=$image
device_add usb-storage,bus=xhci.0,drive=stick,id=stick-port" ;;
                *) sleep 0.2; continue ;;
            esac
            # The monitor echoes each key; what stays is each line as typed
            # and its answer.
            echo "$command" | socat -t 1 - "UNIX-CONNECT:$work/monitor.sock" 2>&1 |
                tr -d '\r' | sed 's/\x1b\[K$//; s/.*\x1b\[[0-9]*[A-Z]//' | grep -v -e '^(qemu) *$' -e '^QEMU .* monitor' -e '^$' \
                >>"$work/monitor-$1.log"
            n=$((n + 1))
        done
    ) &
    watcher=$!
    boot "$@"
    kill "$watcher" 2>/dev/null
    wait "$watcher" 2>/dev/null
}

[ "$(id -u)" -eq 0 ] || give_up "run as root (apt-get, qemu images)"
mkdir -p "$work"
install_tools
build_daemon
fetch_kernel
fetch_busybox
build_helpers
build_initrd
note "kernel $(basename "$vmlinuz"), modules: ${module_order[*]}"

make_partitioned_stick "$work/stick-partitioned.img"
make_small_stick "$work/stick-small.img"

boot direct - "${adapter_cases[@]}" direct_exchange exception_10 exception_11
boot no_stick - no_stick
boot first "$work/stick-partitioned.img" mount_sda1 outage_writes_become_records \
    batches_flush_the_stick_cache
boot second "$work/stick-partitioned.img" restart_delivers_old_records_first \
    delivered_records_removed empty_record_not_sent
boot full "$work/stick-small.img" mount_falls_back_to_sda full_stick_keeps_only_whole_records \
    full_ring_refuses_with_exception_4 full_stick_loses_no_acknowledged_write \
    cleared_stick_takes_held_write_in_order cleared_stick_records_delivered
make_partitioned_stick "$work/stick-power.img"
boot_and_cut_power power_cut "$work/stick-power.img" power_cut_writes_stored
boot after_power_cut "$work/stick-power.img" power_cut_records_whole power_cut_records_delivered
make_partitioned_stick "$work/stick-swap.img"
boot_and_swap_sticks swap "$work/stick-swap.img" pulled_stick_let_go \
    replugged_stick_takes_waiting_writes restart_without_stick_exits \
    swapped_stick_writes_delivered_once_in_order pull_after_delivery_sends_no_record_behind_newer_write
make_partitioned_stick "$work/stick-stop.img"
boot orderly_stop "$work/stick-stop.img" orderly_stop_exits_in_time \
    orderly_stop_keeps_the_ring_on_the_stick stopped_writes_delivered_once_in_order

note "$boots boots, $(($(date +%s) - suite_start))s in all"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
