#!/usr/bin/env bash
# Installs the Debian 12 packages a job needs, only those missing.
#   scripts/install-deps.sh GROUP...   (build, test, bench, e2e, windows, fuzz, valgrind, package,
#   arm, analyse, all)
#   scripts/install-deps.sh --check GROUP...   installs nothing: says for each Debian package build
#   of the groups whether what debian/control declares (and build-essential) is installed, and
#   fails when it is not
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
check=()
[ "${1:-}" != --check ] || { check=(--check); shift; }

# The packages a group needs, and the Debian package builds whose build dependencies it needs, as
# dpkg-buildpackage's architecture and profile options (scripts/package-deb.sh): those
# debian/control declares, and those dpkg-buildpackage adds itself (build-essential; for a cross
# build the cross compilers).
packages=() builds=()
for group in "$@"; do
  case "$group" in
    build) packages+=(g++ cmake ninja-build) ;;
    test) packages+=(g++ cmake ninja-build clang libgtest-dev libgmock-dev libbenchmark-dev) ;;
    bench) packages+=(g++ cmake ninja-build libbenchmark-dev strace) ;;
    # zstd unpacks the kernel's modules, whichever way its package compresses them; jq reads the
    # listings as JSON.
    e2e) packages+=(qemu-system-x86 busybox-static cpio jq libc6-dev libstdc++-12-dev udev systemd
      zstd) ;;
    windows) packages+=(g++-mingw-w64-x86-64 wine wine64) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    valgrind) packages+=(valgrind) ;;
    # This machine's package; lintian, hardening-check (devscripts), autopkgtest, piuparts; git
    # exports the sources; pkg-config and bash-completion say where completions go.
    package) builds+=("") packages+=(lintian devscripts autopkgtest piuparts zip git pkg-config
      bash-completion) ;;
    # The ARM packages, cross-built; Debian's cross toolchains, which the static ARM builds use
    # too, and the ARM C and C++ runtime libraries beside this machine's (multiarch), from which
    # dpkg-shlibdeps takes the packages' dependencies; qemu-user for the console cases,
    # qemu-system for the arm64 kernel suite.
    arm) builds+=("-a arm64 -P cross,nocheck" "-a armhf -P cross,nocheck")
      packages+=(crossbuild-essential-arm64 crossbuild-essential-armhf libc6:arm64
        libstdc++6:arm64 libgcc-s1:arm64 libc6:armhf libstdc++6:armhf libgcc-s1:armhf
        qemu-user-static qemu-system-arm cpio) ;;
    # The analysis in the clang and windows presets: both analysers, and the Windows cross compiler.
    analyse) packages+=(cmake ninja-build clang clang-tidy cppcheck g++-mingw-w64-x86-64) ;;
    all) exec "$0" "${check[@]}" build test bench e2e windows fuzz valgrind package arm analyse ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# What dpkg-checkbuilddeps finds unmet (on descriptor 3): shown by --check, installed otherwise.
unmet=()
exec 3>/dev/null
[ ${#check[@]} -eq 0 ] || exec 3>&1
for build in "${builds[@]}"; do
  # shellcheck disable=SC2086 # the options' words
  command -v dpkg-checkbuilddeps >/dev/null && dpkg-checkbuilddeps $build "$root/debian/control" \
    >&3 2>&1 && echo "ok - dpkg-checkbuilddeps $build" >&3 || unmet+=("$build")
done
[ ${#check[@]} -eq 0 ] || exit $((${#unmet[@]} > 0))
# The kernel suite fetches Debian's kernel package with apt-get download, which needs the lists
# (compressed on some machines).
need_lists=0
[[ " $* " != *" e2e "* ]] || compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null || need_lists=1
# The arm64 kernel suite fetches Debian's arm64 kernel and busybox-static:arm64 the same way, and
# the ARM libraries come from the lists too: arm64 and armhf must be among dpkg's architectures.
add_archs=()
[[ " $* " != *" arm "* ]] ||
  mapfile -t add_archs < <(printf 'arm64\narmhf\n' | grep -vxFf <(dpkg --print-foreign-architectures))
[ $((${#missing[@]} + ${#unmet[@]} + need_lists + ${#add_archs[@]})) -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
[ ${#sudo[@]} -eq 0 ] || command -v sudo >/dev/null ||
  { echo "install-deps: need root to install: ${missing[*]}" >&2; exit 1; }
export DEBIAN_FRONTEND=noninteractive
for arch in "${add_archs[@]}"; do
  echo "install-deps: adding the architecture $arch" >&2 && "${sudo[@]}" dpkg --add-architecture "$arch"
done
# A mirror in the middle of a sync fails an index now and then: tried once more, and then the lists
# apt has are used, so that a stale index of a foreign architecture stops nothing else.
"${sudo[@]}" apt-get update -qq || { sleep 20; "${sudo[@]}" apt-get update -qq; } ||
  echo "install-deps: going on with the package lists apt has" >&2
apt=("${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 -y -qq --no-install-recommends)
for build in "${unmet[@]}"; do
  echo "install-deps: installing the build dependencies of debian/control${build:+ ($build)}" >&2
  # shellcheck disable=SC2086 # the options' words
  "${apt[@]}" build-dep $build "$root" >/dev/null
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "install-deps: installing ${missing[*]}" >&2
"${apt[@]}" install "${missing[@]}" >/dev/null
