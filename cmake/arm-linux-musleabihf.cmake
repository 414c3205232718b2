# Static build for 32-bit ARM devices with hardware floating point (ARMv7),
# against musl: runs whatever C library the device has.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KORVANE_GNU_TRIPLE arm-linux-gnueabihf)
set(KORVANE_MUSL_TRIPLE arm-linux-musleabihf)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
