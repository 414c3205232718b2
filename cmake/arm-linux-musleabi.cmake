# Static build for older 32-bit ARM devices without a floating-point unit
# (ARMv5TE, e.g. ARM926), against musl.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KORVANE_GNU_TRIPLE arm-linux-gnueabi)
set(KORVANE_MUSL_TRIPLE arm-linux-musleabi)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -cpu arm926)
