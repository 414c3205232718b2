#!/bin/sh
# cmake --install into a scratch DESTDIR must give the daemon in sbin/ and
# the example settings under the docs, the manual page, and nothing else:
# above all nothing under /opt, where the firmware keeps its settings file.
#   check_install.sh CMAKE BUILD_DIR
cmake=$1
build=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root "$cmake" --install "$build" --prefix /usr >/dev/null || exit 1
found=$(cd "$root" && find . ! -type d | sort)
expected='./usr/sbin/korvane
./usr/share/doc/korvane/README.md
./usr/share/doc/korvane/settings.example
./usr/share/man/man8/korvane.8'
if [ "$found" != "$expected" ]; then
    printf 'installed:\n%s\nexpected:\n%s\n' "$found" "$expected"
    exit 1
fi
[ -x "$root/usr/sbin/korvane" ] || { echo "korvane is not executable"; exit 1; }
echo "$found"
