# What the mingw-w64 toolchain files share; they set CMAKE_SYSTEM_PROCESSOR and
# VANTORRA_MINGW_PREFIX first. The posix thread model is needed: the default win32 one has
# no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VANTORRA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VANTORRA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VANTORRA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VANTORRA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained programs: no libstdc++, libgcc or winpthread DLLs to ship next to them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
