# Cross-compiling for 32-bit ARM Linux (hard float) with Debian's cross
# compiler; the target's libraries are the multiarch ":armhf" packages, and
# the tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(triple arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_ASM_COMPILER ${triple}-gcc)
# GCC notes where the ARM calling convention changed in GCC 7.1; nothing here
# links code built before that.
set(CMAKE_C_FLAGS_INIT -Wno-psabi)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
# Debian's cross compiler finds the multiarch folders (/usr/include/${triple},
# /usr/lib/${triple}) by itself; CMake looks for packages there too.
set(CMAKE_LIBRARY_ARCHITECTURE ${triple})
# CTest runs the tests, and CMake the test discovery, under the emulator; the
# ARM dynamic loader and libraries come from the multiarch packages (libc6:armhf).
find_program(FWUTIL_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${FWUTIL_QEMU_ARM})
