#!/usr/bin/env bash
# Cross-builds tunezap.exe for 64-bit Windows with mingw-w64, statically linked so that it needs
# only DLLs every Windows has. Installs the cross compiler first when it is missing and this runs
# as root.
#   scripts/build-windows.sh [BUILD_DIR]   (default build-windows; the program lands in it)
# TUNEZAP_WERROR=ON in the environment makes warnings errors (the test command sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-windows}

if ! command -v x86_64-w64-mingw32-g++-win32 >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "build-windows: installing g++-mingw-w64-x86-64" >&2
    export DEBIAN_FRONTEND=noninteractive
    # Another installation may be running; wait for it rather than fail.
    apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends \
      g++-mingw-w64-x86-64 >/dev/null
  else
    echo "build-windows: x86_64-w64-mingw32-g++-win32 is missing; install g++-mingw-w64-x86-64" >&2
    exit 1
  fi
fi
command -v cmake >/dev/null && command -v ninja >/dev/null || scripts/install-deps.sh build

cmake -S . -B "$build" -G Ninja --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DTUNEZAP_WERROR="${TUNEZAP_WERROR:-OFF}" \
  >/dev/null
cmake --build "$build"
echo "build-windows: $build/tunezap.exe"
