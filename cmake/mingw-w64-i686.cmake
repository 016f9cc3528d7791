# Cross-compiling for desktop Win32 (i686: a 32-bit exe, PE32) with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
