# Cross-compiles for 32-bit ARM Linux with hardware floating point (Debian armhf, Raspberry Pi OS
# 32-bit) with Debian's g++-arm-linux-gnueabihf:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TUNEZAP_CROSS_PREFIX arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${TUNEZAP_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TUNEZAP_CROSS_PREFIX}-g++)

# The cross compiler's C library and headers; programs (cmake, ninja, the packaging tools) are the
# build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/${TUNEZAP_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
