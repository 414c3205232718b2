#!/bin/bash
# Real-stick suite: runs the daemon as built, in cache mode, on a Debian
# kernel booted under qemu (TCG) with an emulated USB stick holding a real
# vfat file system. Six boots:
#   no_stick  no stick plugged in: start-up must give up cleanly
#   first     fresh partitioned stick (/dev/sda1), server down: records
#   second    same stick after a restart: old records delivered first
#   full      small unpartitioned stick (/dev/sda), filled up
#   power_cut fresh stick, records stored, then qemu killed: no sync
#   after_power_cut  same stick: the stored records are there and delivered
# Each case prints PASS or FAIL; the last line is "N passed, M failed".
#
#   tests/stick/run.sh            (as root; installs what it needs with apt-get)
#
# KORVANE_STICK_BUILD names the build directory (default /tmp/b-stick); the
# kernel package, the initrd and the stick images are kept under its stick/.

set -u

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=${KORVANE_STICK_BUILD:-/tmp/b-stick}
work=$build/stick
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
        apt-get update -qq >/dev/null || true
        apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

install_tools() {
    local missing=()
    command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
    dpkg -s busybox-static >/dev/null 2>&1 || missing+=(busybox-static)
    command -v mkfs.vfat >/dev/null || missing+=(dosfstools)
    command -v gcc >/dev/null || missing+=(gcc)
    [ -e /usr/lib/x86_64-linux-gnu/libc.a ] || missing+=(libc6-dev)
    command -v g++ >/dev/null || missing+=(g++)
    command -v cmake >/dev/null || missing+=(cmake)
    # The project's CMake file builds GoogleTest from its Debian sources.
    [ -d /usr/src/googletest ] || missing+=(googletest)
    command -v xz >/dev/null || missing+=(xz-utils)
    if [ ${#missing[@]} -gt 0 ]; then
        note "installing ${missing[*]}"
        apt_install "${missing[@]}" || give_up "cannot install ${missing[*]}"
    fi
}

build_daemon() {
    if [ ! -e "$build/CMakeCache.txt" ]; then
        cmake -S "$source_dir" -B "$build" -DKORVANE_WERROR=ON -DKORVANE_INTEGRATION=OFF \
            >"$work/cmake.log" 2>&1 || give_up "cmake configure failed, see $work/cmake.log"
    fi
    cmake --build "$build" -j2 --target korvane >"$work/build.log" 2>&1 ||
        give_up "daemon build failed, see $work/build.log"
}

# Debian's current amd64 kernel, downloaded once and kept unpacked.
fetch_kernel() {
    kernel_root=$(ls -d "$work"/kernel/linux-image-*/ 2>/dev/null | head -1)
    if [ -z "$kernel_root" ]; then
        local package
        package=$(apt-cache depends linux-image-amd64 2>/dev/null |
            sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -1)
        if [ -z "$package" ]; then
            apt-get update -qq >/dev/null || true
            apt_updated=1
            package=$(apt-cache depends linux-image-amd64 2>/dev/null |
                sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -1)
        fi
        [ -n "$package" ] || give_up "no linux-image package found"
        note "downloading $package"
        mkdir -p "$work/download" "$work/kernel"
        (cd "$work/download" && apt-get download -q "$package" >/dev/null 2>&1) ||
            give_up "apt-get download $package failed"
        kernel_root=$work/kernel/$package/
        dpkg-deb -x "$work"/download/"$package"_*.deb "$kernel_root" ||
            give_up "cannot unpack $package"
        rm -f "$work"/download/"$package"_*.deb
    fi
    vmlinuz=$(ls "$kernel_root"boot/vmlinuz-* | head -1)
    module_dir=$(ls -d "$kernel_root"lib/modules/*/ | head -1)
    [ -f "$vmlinuz" ] && [ -d "$module_dir" ] || give_up "kernel unpacked badly in $kernel_root"
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
    for program in rtu_master tcp_server; do
        gcc -static -O2 -Wall -Wextra -Werror -o "$work/$program" "$here/$program.c" ||
            give_up "cannot build $program"
    done
}

build_initrd() {
    local stage=$work/initrd.d lib name f
    rm -rf "$stage"
    mkdir -p "$stage"/{bin,dev,proc,sys,tmp,mnt,lib/modules,opt/korvane/bin,var/lock,var/run/korvane/flash}
    cp /bin/busybox "$stage/bin/busybox"
    ln -s busybox "$stage/bin/sh"
    cp "$work/rtu_master" "$work/tcp_server" "$stage/bin/"
    cp "$here/vm_init.sh" "$stage/init"
    chmod 755 "$stage/init"
    cp "$build/korvane" "$stage/opt/korvane/bin/korvane"
    # The daemon is linked dynamically: bring its libraries and loader.
    for lib in $(ldd "$build/korvane" | grep -o '/[^ ]*'); do
        mkdir -p "$stage$(dirname "$lib")"
        cp -L "$lib" "$stage$lib"
    done

    index_modules
    for name in crct10dif_generic crc64_rocksoft_generic xhci_pci usb_storage sd_mod \
                vfat nls_cp437 nls_ascii; do
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

# boot ROLE IMAGE|- CASE...: boots once and reports the named cases.
boot() {
    local role=$1 image=$2 case_name line started elapsed rc
    shift 2
    local log=$work/boot-$role.log
    local drive=()
    if [ "$image" != - ]; then
        drive=(-drive "if=none,id=stick,format=raw,file=$image" -device usb-storage,drive=stick)
    fi
    started=$(date +%s)
    timeout $boot_timeout qemu-system-x86_64 -accel tcg -m 512 \
        -kernel "$vmlinuz" -initrd "$work/initrd" \
        -append "console=ttyS0 panic=-1 quiet korvane_role=$role" \
        -nographic -no-reboot -nodefaults -serial stdio \
        -device qemu-xhci "${drive[@]}" "${qemu_extra[@]}" </dev/null >"$log" 2>&1
    rc=$?
    elapsed=$(($(date +%s) - started))
    boots=$((boots + 1))
    note "boot $role: ${elapsed}s (log $log)"
    if ! grep -q '^STICK-BOOT-DONE' "$log"; then
        note "boot $role did not finish (qemu status $rc); last lines:"
        tail -15 "$log" | sed 's/^/stick:   /'
    fi
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

[ "$(id -u)" -eq 0 ] || give_up "run as root (apt-get, qemu images)"
mkdir -p "$work"
install_tools
build_daemon
fetch_kernel
build_helpers
build_initrd
note "kernel $(basename "$vmlinuz"), modules: ${module_order[*]}"

make_partitioned_stick "$work/stick-partitioned.img"
make_small_stick "$work/stick-small.img"

boot no_stick - no_stick
boot first "$work/stick-partitioned.img" mount_sda1 outage_writes_become_records
boot second "$work/stick-partitioned.img" restart_delivers_old_records_first \
    delivered_records_removed empty_record_not_sent
boot full "$work/stick-small.img" mount_falls_back_to_sda full_stick_keeps_only_whole_records \
    full_ring_refuses_with_exception_4 full_stick_loses_no_acknowledged_write \
    cleared_stick_takes_held_write_in_order cleared_stick_records_delivered
make_partitioned_stick "$work/stick-power.img"
boot_and_cut_power power_cut "$work/stick-power.img" power_cut_writes_stored
boot after_power_cut "$work/stick-power.img" power_cut_records_whole power_cut_records_delivered

note "$boots boots, $(($(date +%s) - suite_start))s in all"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
