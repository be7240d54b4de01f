# Cross-compiles for 32-bit ARM Linux with hardware floating point (Debian armhf, Raspberry Pi OS
# 32-bit) with Debian's g++-arm-linux-gnueabihf:
#   cmake --preset armhf
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TUNEZAP_CROSS_PREFIX arm-linux-gnueabihf)
# Tests run on the Pi 2's Cortex-A7: Debian's armhf is ARMv7, so the ARMv6 Pi 1 and Zero are not
# among the boards it runs on.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -cpu cortex-a7)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
