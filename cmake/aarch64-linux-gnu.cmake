# Cross-compiles for 64-bit ARM Linux (Debian arm64, Raspberry Pi OS 64-bit) with Debian's
# g++-aarch64-linux-gnu:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TUNEZAP_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${TUNEZAP_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TUNEZAP_CROSS_PREFIX}-g++)

# The cross compiler's C library and headers; programs (cmake, ninja, the packaging tools) are the
# build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/${TUNEZAP_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
