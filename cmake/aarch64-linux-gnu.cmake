# Cross build for 64-bit ARM Linux with Debian's cross toolchain (g++-aarch64-linux-gnu);
# programs built with it run here under qemu-user, with the toolchain's own C library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(KORVO_AARCH64_SYSROOT /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${KORVO_AARCH64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The core's libraries are header-only (Boost's tables, fmt), so the host's own packages
# serve: their configuration files live in the host's multiarch folder.
execute_process(COMMAND gcc -print-multiarch OUTPUT_VARIABLE KORVO_HOST_MULTIARCH OUTPUT_STRIP_TRAILING_WHITESPACE)
list(APPEND CMAKE_PREFIX_PATH /usr/lib/${KORVO_HOST_MULTIARCH}/cmake)

# ctest and GoogleTest's test discovery run the test programs through the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${KORVO_AARCH64_SYSROOT})
