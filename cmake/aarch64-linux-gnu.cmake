# Cross-compiles for 64-bit ARM Linux (Debian arm64, Raspberry Pi OS 64-bit) with Debian's
# g++-aarch64-linux-gnu:
#   cmake --preset arm64
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TUNEZAP_CROSS_PREFIX aarch64-linux-gnu)
# Tests run on the oldest processor of the Raspberry Pis this build is for (Pi 3, Zero 2 W), so
# that an instruction it lacks fails here.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -cpu cortex-a53)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
