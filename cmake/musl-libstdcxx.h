/* Force-included into every C++ unit of the static musl builds. Debian's
 * libstdc++ headers were configured for glibc; this answers the three places
 * where they still expect it. */
#pragma once

/* bits/os_defines.h tests glibc versions with __GLIBC_PREREQ, which musl
 * does not define; musl offers what those newer glibc versions added. */
#define __GLIBC_PREREQ(major, minor) 1

/* bits/std_mutex.h (reached from C++20 <atomic>) calls
 * pthread_cond_clockwait because the configuration says glibc has it; musl
 * 1.2.3 does not, and without the macro it falls back to
 * pthread_cond_timedwait. c++config.h comes first so that it cannot define
 * the macro again afterwards. */
#include <bits/c++config.h>
#undef _GLIBCXX_USE_PTHREAD_COND_CLOCKWAIT

/* bits/c++locale.h (reached from <system_error>) names glibc's internal
 * __locale_t; musl only has the standard name locale_t. */
#include <locale.h>
typedef locale_t __locale_t;
