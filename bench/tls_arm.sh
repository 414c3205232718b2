#!/bin/bash
# The secure link on a 32-bit ARM virtual board (Debian's armmp kernel,
# Cortex-A15 under qemu's TCG): the static armhf daemon connects over TLS
# (the server's chain and address verified on the board), then, after the
# server drops the connection, reconnects and resumes the session. The
# handshakes are timed where the server sees them (socat's log, from the
# TCP accept to the end of the handshake): full against resumed.
#
# The server side stays on the host, inside a network namespace of this
# script's own (which has nothing but its loopback): the test server behind
# socat's TLS server on 127.0.0.1:802, which the guest reaches as
# 10.0.2.2:802, qemu's user network's name for the host, with no relay of
# its own in between.
#
#   bench/tls_arm.sh [BUILD]    (as root)
#
# BUILD is a native build (for the test server; default build/native); the
# static armhf daemon with TLS is KORVANE_ARM_DAEMON, else built under
# BUILD/arm-tls. Prints PASS or FAIL for the connection and the resumption,
# the guest's korvane lines and the handshake times (no verdict on them);
# exits non-zero on FAIL.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
if [ "${1:-}" != --inside ]; then
    native=$(realpath -m "${1:-$top/build/native}")
    work=$native/arm-tls
    mkdir -p "$work"
    [ "$(id -u)" -eq 0 ] || { echo "tls_arm.sh needs root" >&2; exit 1; }
    # The static armhf daemon, with Mbed TLS built for it.
    if [ -z "${KORVANE_ARM_DAEMON:-}" ]; then
        "$top/scripts/build-source-package" mbedtls "$top/cmake/arm-linux-musleabihf.cmake" "$work/mbedtls"
        { cmake -S "$top" -B "$work/daemon" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/arm-linux-musleabihf.cmake" \
              -DCMAKE_BUILD_TYPE=Release -DKORVANE_MBEDTLS_PREFIX="$work/mbedtls" &&
          cmake --build "$work/daemon" -j2 --target korvane; } >"$work/build.log" 2>&1 ||
            { tail -20 "$work/build.log"; exit 1; }
        KORVANE_ARM_DAEMON=$work/daemon/korvane
    fi
    export KORVANE_ARM_DAEMON
    cmake --build "$native" -j2 --target modbus_server >/dev/null
    # Debian's kernel and busybox for armhf, unpacked, never installed.
    for package in busybox-static:armhf \
        "$(apt-cache depends linux-image-armmp:armhf | sed -n 's/^ *Depends: \(linux-image-[0-9][^ :]*-armmp\).*/\1/p' | head -1):armhf"; do
        [ -d "$work/${package%%:*}" ] && continue
        (cd "$work" && rm -f ./*.deb && apt-get download -q "$package" >/dev/null 2>&1 &&
            dpkg-deb -x ./*.deb "${package%%:*}.part" && mv "${package%%:*}.part" "${package%%:*}" && rm -f ./*.deb)
    done
    exec unshare --net "$0" --inside "$native"
fi

native=$2
work=$native/arm-tls
ip link set lo up
kernel=$(ls -d "$work"/linux-image-*)
stage=$work/initrd.d
rm -rf "$stage" && mkdir -p "$stage"/{bin,dev,proc,sys,tmp,lib/modules,etc/tls,opt/korvane/etc,var/lock,var/run/korvane}
cp "$work/busybox-static/bin/busybox" "$stage/bin/busybox"
ln -s busybox "$stage/bin/sh"
cp "$KORVANE_ARM_DAEMON" "$stage/bin/korvane"

# Certificates: the server's for the address the guest reaches it at.
tls=$work/tls
rm -rf "$tls" && mkdir -p "$tls"
(
    cd "$tls"
    ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
    openssl req -x509 "${ec[@]}" -days 30 -subj /CN=ca -keyout ca.key -out ca.pem
    for name in server korvane; do
        san=IP:10.0.2.2
        [ $name = korvane ] && san=DNS:korvane.test
        openssl req -new "${ec[@]}" -subj "/CN=$name" -keyout $name.key -out $name.csr
        openssl x509 -req -in $name.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
            -extfile <(echo "subjectAltName=$san") -out $name.pem
    done
) 2>/dev/null
cp "$tls"/{ca.pem,korvane.pem,korvane.key} "$stage/etc/tls/"

# The network driver, each module after what it needs.
modules=$(ls -d "$kernel"/lib/modules/*/)
order=()
add_module() {
    local name=$1 file dep
    for dep in "${order[@]}"; do [ "$dep" = "$name" ] && return 0; done
    file=$(find "$modules" -name "$name.ko*" -o -name "${name//_/-}.ko*" | head -1)
    [ -n "$file" ] || { echo "no module $name" >&2; exit 1; }
    for dep in $(xz -dcf "$file" | tr '\0' '\n' | sed -n 's/^depends=//p' | tr ',' ' '); do
        add_module "$dep"
    done
    order+=("$name")
    xz -dcf "$file" > "$stage/lib/modules/$name.ko"
}
add_module virtio_mmio
add_module virtio_net
printf '%s\n' "${order[@]}" > "$stage/lib/modules/order"

cat > "$stage/init" <<'INIT'
#!/bin/sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for m in $(cat /lib/modules/order); do insmod /lib/modules/$m.ko; done
ip link set lo up; ip link set eth0 up; ip addr add 10.0.2.15/24 dev eth0
chmod 600 /etc/tls/korvane.key
syslogd -n -O /tmp/messages &
sleep 1
cat > /opt/korvane/etc/settings <<SETTINGS
MOD_KORVANE_DEVICE="ttyUSB0"
MOD_KORVANE_ADDR="10.0.2.2"
MOD_KORVANE_TIMEOUT="5000"
MOD_KORVANE_TLS="1"
MOD_KORVANE_TLS_CA="/etc/tls/ca.pem"
MOD_KORVANE_TLS_CERT="/etc/tls/korvane.pem"
MOD_KORVANE_TLS_KEY="/etc/tls/korvane.key"
SETTINGS
started=$(date +%s)
korvane &
while [ $(( $(date +%s) - started )) -lt 60 ] && ! grep -q "Succesfully connected" /tmp/messages; do sleep 1; done
daemon=$!
# The host drops the connection once the first handshake is done; the
# next attempt (5 s on) resumes the session.
while [ $(( $(date +%s) - started )) -lt 60 ] && ! grep -q "TLS_RESUMED=1 " /tmp/messages; do
    kill -USR1 $daemon; sleep 1
done
grep korvane /tmp/messages | grep -v -e ttyUSB0 -e statistics | sed 's/^/guest: /'
grep statistics /tmp/messages | tail -n 1 | sed 's/^/guest: /'
verdict() { if grep -q "$2" /tmp/messages; then echo "PASS $1"; else echo "FAIL $1"; fi; }
verdict "static armhf daemon connects over TLS" "TLS_HANDSHAKES=1 "
verdict "static armhf daemon resumes its session" "TLS_HANDSHAKES=1 TLS_RESUMED=1 TLS_FAILURES=0"
poweroff -f
INIT
chmod 755 "$stage/init"
(cd "$stage" && find . | cpio -o -H newc 2>/dev/null | gzip) > "$work/initrd"

"$native/tests/peers/modbus_server" --listen 127.0.0.1:1502 >/dev/null 2>&1 &
server=$!
# No client certificate asked for: OpenSSL resumes no session of a client
# that sent one unless the server sets a session context, which socat does not.
front_log=$work/front.log
socat -d -d -lu OPENSSL-LISTEN:802,bind=127.0.0.1,reuseaddr,fork,cert="$tls/server.pem,key=$tls/server.key,verify=0" \
    TCP:127.0.0.1:1502 2>"$front_log" &
front=$!
sleep 1
log=$work/console.log
timeout 300 qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -m 256 -nographic -no-reboot \
    -kernel "$(ls "$kernel"/boot/vmlinuz-*)" -initrd "$work/initrd" -append "console=ttyAMA0 panic=-1 quiet" \
    -netdev user,id=net \
    -device virtio-net-device,netdev=net >"$log" 2>&1 &
qemu=$!
# The first handshake's relay child ends: the server dropped the link.
for _ in $(seq 120); do
    child=$(sed -n 's/.*socat\[\([0-9]*\)\] N SSL proto version used.*/\1/p' "$front_log" | head -1)
    [ -n "$child" ] && break
    sleep 1
done
[ -n "${child:-}" ] && kill "$child" 2>/dev/null
wait "$qemu" || true
kill "$front" "$server" 2>/dev/null || true
grep -a -E '^(guest: |PASS|FAIL)' "$log" || tail -20 "$log"
# Each handshake from the TCP accept (the parent's line before it forks the
# child) to the child's first line after it.
awk '/accepting connection from/ { split($2, t, ":"); at = t[1] * 3600 + t[2] * 60 + t[3] }
     /forked off child process/ { start[$NF] = at }
     /SSL proto version used/ { pid = $3; gsub(/[^0-9]/, "", pid); split($2, t, ":")
         ms[++n] = 1000 * (t[1] * 3600 + t[2] * 60 + t[3] - start[pid]) }
     END { if (n >= 2) printf "handshake on the ARM board, as the server sees it: full %.0f ms, resumed %.0f ms, resumed/full %.2f\n", ms[1], ms[2], ms[2] / ms[1] }' "$front_log"
! grep -aq '^FAIL' "$log" && grep -aq '^PASS' "$log"
