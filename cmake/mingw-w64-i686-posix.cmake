# Cross-compiles for 32-bit Windows with mingw-w64: the bitness the agent ships the handler
# in, which 64-bit Windows runs under WOW64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VANTORRA_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
