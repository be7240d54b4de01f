#!/usr/bin/env bash
# Cross-builds tunezap for ARM Linux with Debian's cross compilers, linked statically so that the
# one file runs on any ARM Linux of its kind (Raspberry Pi OS, Debian, others) without libraries.
#   scripts/build-arm.sh ARCH [BUILD_DIR [CMAKE_ARG...]]
# ARCH: arm64 (64-bit, aarch64) or armhf (32-bit, hardware floating point). BUILD_DIR defaults to
# build-ARCH; the program lands in it and its path is printed on the last line. TUNEZAP_WERROR=ON
# in the environment makes warnings errors (the test command sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-}
case "$arch" in
  arm64) triplet=aarch64-linux-gnu ;;
  armhf) triplet=arm-linux-gnueabihf ;;
  *) echo "usage: $0 arm64|armhf [BUILD_DIR [CMAKE_ARG...]]" >&2; exit 2 ;;
esac
build=${2:-build-$arch}
shift $(($# < 2 ? $# : 2))
if ! command -v "$triplet-g++" >/dev/null || ! command -v ninja >/dev/null; then
  scripts/install-deps.sh build arm
fi

cmake -S . -B "$build" -G Ninja --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="cmake/$triplet.cmake" -DTUNEZAP_TESTS=OFF -DTUNEZAP_STATIC=ON \
  -DTUNEZAP_WERROR="${TUNEZAP_WERROR:-OFF}" "$@" >/dev/null
cmake --build "$build" --target tunezap >/dev/null
echo "$build/tunezap"
