# Static x86-64 build against musl: the host's black-box tests run it beside
# the glibc build, the same way the device runs the ARM one.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORVANE_GNU_TRIPLE x86_64-linux-gnu)
set(KORVANE_MUSL_TRIPLE x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
