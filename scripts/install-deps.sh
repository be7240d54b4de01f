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
    # dpkg-buildpackage and the package's build dependencies, lintian, hardening-check
    # (devscripts), autopkgtest; pkg-config and bash-completion say where completions go.
    package) packages+=(dpkg-dev debhelper libgtest-dev lintian devscripts autopkgtest zip file
      git pkg-config bash-completion) ;;
    # Debian's cross toolchains, and the ARM C and C++ runtime libraries beside this machine's
    # (multiarch), from which dpkg-shlibdeps takes the ARM packages' dependencies; qemu-user for
    # the console cases, qemu-system for the arm64 kernel suite.
    arm) packages+=(crossbuild-essential-arm64 crossbuild-essential-armhf libc6:arm64
      libstdc++6:arm64 libgcc-s1:arm64 libc6:armhf libstdc++6:armhf libgcc-s1:armhf
      qemu-user-static qemu-system-arm cpio dpkg-dev) ;;
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
# The arm64 kernel suite fetches Debian's arm64 kernel and busybox-static:arm64 the same way, and
# the ARM libraries come from the lists too: arm64 and armhf must be among dpkg's architectures.
add_archs=()
if [[ " $* " == *" arm "* ]]; then
  # Read whole first: with pipefail, grep -q leaving early could fail dpkg's write, and the pipe.
  foreign=$(dpkg --print-foreign-architectures)
  for arch in arm64 armhf; do
    grep -qx $arch <<<"$foreign" || add_archs+=($arch)
  done
fi
[ ${#add_archs[@]} -eq 0 ] || need_lists=1
[ ${#missing[@]} -eq 0 ] && [ $need_lists -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: need root to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
for arch in "${add_archs[@]}"; do
  echo "install-deps: adding the architecture $arch" >&2
  "${sudo[@]}" dpkg --add-architecture "$arch"
done
"${sudo[@]}" apt-get update -qq
[ ${#missing[@]} -eq 0 ] && exit 0
echo "install-deps: installing ${missing[*]}" >&2
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
