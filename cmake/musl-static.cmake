# Shared part of the static musl builds. The including toolchain file sets
# KORVANE_GNU_TRIPLE (Debian's compilers for the target, used for code
# generation and for libstdc++'s headers) and KORVANE_MUSL_TRIPLE (where
# Debian's musl-dev for that architecture keeps its headers and libraries).
#
# The binary is fully static: no interpreter, no dynamic section, so it runs
# on whatever C library the device has, or none.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${KORVANE_GNU_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KORVANE_GNU_TRIPLE}-g++)

execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE _gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpversion
  OUTPUT_VARIABLE _gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
if(EXISTS /usr/${KORVANE_GNU_TRIPLE}/include/c++/${_gcc_version})
  set(_cxx_include /usr/${KORVANE_GNU_TRIPLE}/include/c++/${_gcc_version})
  set(_cxx_target_include ${_cxx_include}/${KORVANE_GNU_TRIPLE})
else()
  # The native compiler keeps libstdc++'s headers in the system tree.
  set(_cxx_include /usr/include/c++/${_gcc_version})
  set(_cxx_target_include /usr/include/${KORVANE_GNU_TRIPLE}/c++/${_gcc_version})
endif()
set(_musl_include /usr/include/${KORVANE_MUSL_TRIPLE})
set(_musl_lib /usr/lib/${KORVANE_MUSL_TRIPLE})

# glibc's headers are left out entirely: gcc's own headers, then musl's. C++
# puts libstdc++'s headers first, and a small header answers the places
# where they still expect glibc.
set(CMAKE_C_FLAGS_INIT "-nostdinc -isystem ${_gcc_include} -isystem ${_musl_include}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc -isystem ${_cxx_include} -isystem ${_cxx_target_include} \
-isystem ${_gcc_include} -isystem ${_musl_include} \
-include ${CMAKE_CURRENT_LIST_DIR}/musl-libstdcxx.h")
# musl's rules file for gcc's driver swaps in its start files and libc for
# the link (gcc's option and the file share one word, spelt out in pieces).
string(CONCAT _driver_rules "-sp" "ecs ${_musl_lib}/musl-gcc.sp" "ecs")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static ${_driver_rules}")

set(CMAKE_FIND_ROOT_PATH ${_musl_lib})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The libraries korvane links are built with this same toolchain file
# (named after the musl triple).
set(KORVANE_TOOLCHAIN ${CMAKE_CURRENT_LIST_DIR}/${KORVANE_MUSL_TRIPLE}.cmake)

# The daemon only: GoogleTest does not build against musl, and the unit
# tests run on glibc. The static link check is the build's one test.
set(KORVANE_STATIC ON)
set(BUILD_TESTING OFF CACHE BOOL "Build the tests and their peers")
