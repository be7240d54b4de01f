# Cross-compiles for 64-bit Windows with Debian's mingw-w64:
#   cmake --preset windows
# Its tests run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TUNEZAP_MINGW_PREFIX x86_64-w64-mingw32)
# The win32 thread flavour: the program uses no threads, and its runtime links statically without
# needing winpthread.
set(CMAKE_C_COMPILER ${TUNEZAP_MINGW_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${TUNEZAP_MINGW_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${TUNEZAP_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TUNEZAP_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only system DLLs at run time: the C++ runtime and libgcc go into the executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
