# Cross-compiles for 64-bit Windows with mingw-w64 (mingw-w64-i686-posix.cmake: 32-bit).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VANTORRA_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
