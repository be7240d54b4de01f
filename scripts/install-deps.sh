#!/usr/bin/env bash
# Installs the Debian 12 packages a job needs, only those missing.
#   scripts/install-deps.sh GROUP...   (build, test, bench, e2e, windows, fuzz, valgrind, package,
#   arm, analyse, all)
set -euo pipefail

packages=()
for group in "$@"; do
  case "$group" in
    build) packages+=(g++ cmake ninja-build) ;;
    test) packages+=(g++ cmake ninja-build clang libgtest-dev libgmock-dev libbenchmark-dev) ;;
    bench) packages+=(g++ cmake ninja-build libbenchmark-dev strace) ;;
    e2e) packages+=(qemu-system-x86 busybox-static cpio libc6-dev libstdc++-12-dev udev systemd) ;;
    windows) packages+=(g++-mingw-w64-x86-64 wine wine64) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    valgrind) packages+=(valgrind) ;;
    package) packages+=(dpkg-dev lintian zip file git) ;;
    # Cross compilers, qemu-user for the console cases, qemu-system for the arm64 kernel suite.
    arm) packages+=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user-static qemu-system-arm
      cpio dpkg-dev) ;;
    # scripts/analyse.sh: both analysers, and the Windows cross compiler for that layer's headers.
    analyse) packages+=(cmake ninja-build clang clang-tidy cppcheck jq g++-mingw-w64-x86-64) ;;
    all) exec "$0" build test bench e2e windows fuzz valgrind package arm analyse ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# The kernel suite fetches Debian's kernel package with apt-get download, which needs the lists.
need_lists=0
if [[ " $* " == *" e2e "* ]] && ! compgen -G '/var/lib/apt/lists/*_Packages' >/dev/null; then
  need_lists=1
fi
# The arm64 kernel suite fetches Debian's arm64 kernel and busybox-static:arm64 the same way, which
# needs arm64 among dpkg's architectures and in the lists.
add_arm64=0
if [[ " $* " == *" arm "* ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  add_arm64=1
  need_lists=1
fi
[ ${#missing[@]} -eq 0 ] && [ $need_lists -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: need root to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
if [ $add_arm64 -eq 1 ]; then
  echo "install-deps: adding the architecture arm64" >&2
  "${sudo[@]}" dpkg --add-architecture arm64
fi
"${sudo[@]}" apt-get update -qq
[ ${#missing[@]} -eq 0 ] && exit 0
echo "install-deps: installing ${missing[*]}" >&2
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
