#!/bin/sh
# The daemon must run on a board that has libc and nothing else: no C++
# runtime, no libgcc_s, no libm. Fails when the binary needs anything more
# than libc and the dynamic loader.
binary=$1
needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "NEEDED: $needed"
[ -n "$needed" ] || { echo "no NEEDED entries: not a dynamic binary?"; exit 1; }
status=0
for lib in $needed; do
    case $lib in
        libc.so.*|ld-linux*.so.*) ;;
        *) echo "unexpected library: $lib"; status=1 ;;
    esac
done
# Nothing of the C++ runtime may be referenced either.
if readelf --dyn-syms -W "$binary" | grep -E ' (_Zn|_Zd|__cxa_|__gxx_|_ZSt)' | grep -v __cxa_finalize; then
    echo "C++ runtime symbols referenced"
    status=1
fi
exit $status
