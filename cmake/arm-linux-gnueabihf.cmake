# Cross-compiles for 32-bit ARM Linux with hardware floating point (Debian armhf, Raspberry Pi OS
# 32-bit) with Debian's g++-arm-linux-gnueabihf:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TUNEZAP_CROSS_PREFIX arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
