# Shared by scripts/demo and bench/latency.sh, sourced inside new mount,
# network and pid namespaces: korvane's fixed paths (/opt/korvane, /run,
# /dev) become the caller's own, with a private pty namespace and loopback.

world_setup() {
    mount -t tmpfs -o mode=755 tmpfs /opt
    mount -t tmpfs -o mode=755 tmpfs /run
    mkdir -p /run/lock /run/korvane /opt/korvane/etc
    chmod 1777 /run/lock
    mount -t tmpfs -o mode=755 tmpfs /dev
    mknod -m 666 /dev/null c 1 3
    mknod -m 666 /dev/zero c 1 5
    mknod -m 666 /dev/full c 1 7
    mknod -m 666 /dev/random c 1 8
    mknod -m 666 /dev/urandom c 1 9
    mknod -m 666 /dev/tty c 5 0
    mkdir /dev/pts /dev/shm
    mount -t devpts -o newinstance,ptmxmode=0666,mode=620,gid=5 devpts /dev/pts
    ln -s pts/ptmx /dev/ptmx
    mount -t tmpfs tmpfs /dev/shm
    ln -s /proc/self/fd /dev/fd
    ip link set lo up
}

# Polls a condition until it holds or the deadline (seconds) passes.
wait_for() {
    local deadline=$(( $(date +%s) + $1 )); shift
    until "$@"; do
        [ "$(date +%s)" -le "$deadline" ] || return 1
        sleep 0.02
    done
}
