# Cross-compiling for desktop Win32 (x86_64: a 64-bit exe, PE32+) with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
