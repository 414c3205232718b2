#!/bin/sh
# The static builds must run on a device whatever C library it has, or none:
# no program interpreter, no dynamic section, nothing versioned against glibc,
# and no piece of the C++ runtime. Takes the unstripped binary, whose symbol
# table shows what was linked in.
binary=$1
status=0
fail() { echo "$*"; status=1; }

readelf -lW "$binary" | grep -q ' INTERP ' && fail "has a program interpreter"
readelf -lW "$binary" | grep -q ' DYNAMIC ' && fail "has a dynamic segment"
readelf -d "$binary" | grep -q 'There is no dynamic section' || fail "has a dynamic section"
readelf -SW "$binary" | grep -q '\.gnu\.version' && fail "has symbol versions"
strings -a "$binary" | grep -q 'GLIBC_' && fail "names glibc versions"

symbols=$(nm "$binary" 2>/dev/null)
[ -n "$symbols" ] || { echo "no symbol table: check the unstripped binary"; exit 1; }
# operator new/delete, the ABI support library and the unwinder; musl's libc
# itself defines __cxa_atexit and __cxa_finalize.
echo "$symbols" | grep -E ' [A-Za-z] (_Zn[wa]|_Zd[la]|__cxa_|__gxx_|__cxxabiv1|_ZN10__cxxabiv1|_Unwind_|__aeabi_unwind)' |
    grep -v -E ' (__cxa_atexit|__cxa_finalize)$' && fail "C++ runtime symbols linked in"
# Compiled parts of the standard library (std::terminate, the __throw_*
# helpers, ...) are strong global definitions; what the daemon takes from
# its headers is weak (templates) or local (constants of <atomic>, seen in
# unoptimised builds).
echo "$symbols" | grep -E ' [TDBR] _ZN?K?St' && fail "standard library code linked in"
[ $status -eq 0 ] && echo "static: no interpreter, no dynamic section, libc only"
exit $status
