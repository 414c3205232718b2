# Cross build for the 32-bit ARM board (armhf). Test binaries run under
# qemu-user through CTest's emulator hook.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Debian's multiarch packages for armhf (libc-ares-dev:armhf) keep their
# headers in /usr/include and their libraries in /usr/lib/arm-linux-gnueabihf.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The loader and libc must come from one build. libc6:armhf (which
# libc-ares-dev:armhf brings) puts a newer libc in /lib/arm-linux-gnueabihf,
# where the cross loader looks before its own directory: mixed, every thread
# start crashes.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L /usr/arm-linux-gnueabihf
  -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib)
