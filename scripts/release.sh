#!/usr/bin/env bash
# Builds every artifact a user downloads, from the checked-out commit, into one folder:
#   scripts/release.sh [OUT_DIR]        (default release, in the checkout; emptied first)
#   tunezap-VERSION-linux-x86_64        the program, statically linked (static PIE): runs on any
#                                       x86-64 Linux
#   tunezap-VERSION-linux-aarch64       the same for 64-bit ARM Linux (Raspberry Pi OS arm64)
#   tunezap-VERSION-linux-armhf         the same for 32-bit ARMv7 Linux (Raspberry Pi OS armhf),
#                                       not PIE: Debian's armhf C library cannot link static PIE
#   tunezap_VERSION-1_amd64.deb         the Debian package (scripts/package-deb.sh)
#   tunezap_VERSION-1_arm64.deb, tunezap_VERSION-1_armhf.deb   the same, cross-built
#   tunezap_VERSION-1.dsc, tunezap_VERSION.orig.tar.gz, tunezap_VERSION-1.debian.tar.xz
#                                       the Debian source package
#   tunezap-VERSION-win64.zip           the Windows program (scripts/package-zip.sh)
#   SHA256SUMS
# Two runs on one commit give byte-identical files, wherever the checkout lies: every time stamp
# comes from the commit (SOURCE_DATE_EPOCH), the compilers map the checkout's path to ".", and
# the package scripts fix file times and order. The checkout must have no uncommitted changes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-release}
# The checkout may belong to another user than the one building (CI copies it in, say).
git() { command git -c safe.directory="$root" "$@"; }

[ -z "$(git status --porcelain --untracked-files=no)" ] ||
  { echo "release: the checkout has uncommitted changes; a release is built from a commit" >&2; exit 1; }
version=$(sed -n 's/^project(tunezap VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "release: no version in CMakeLists.txt" >&2; exit 1; }
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
scripts/install-deps.sh build package arm

# The folder is emptied first: refuse one that holds something other than an earlier release.
[ -z "$(ls -A "$out" 2>/dev/null)" ] || [ -f "$out/SHA256SUMS" ] ||
  { echo "release: $out holds files but no SHA256SUMS; not emptying it" >&2; exit 1; }
work="build-dist"  # not build-release: scripts/run.sh builds there
rm -rf "$work" "$out" && mkdir -p "$work" "$out"

# build PRESET DIR [CMAKE-ARG...]: the program alone, from a configure preset, in DIR. Every
# build starts in a fresh directory, so CMake takes the compiler flags from the environment.
build() {
  CXXFLAGS="-ffile-prefix-map=$root=." cmake --preset "$1" -B "$2" -DTUNEZAP_TESTS=OFF \
    -DTUNEZAP_ANALYSE=OFF "${@:3}" >/dev/null
  cmake --build "$2" --target tunezap >/dev/null
}
# linux_binary PRESET ARCH static-pie|static: the program, statically linked and stripped, as
# tunezap-VERSION-linux-ARCH, hardened as scripts/check-hardening.sh checks.
linux_binary() {
  local dir=$work/linux-$2
  build "$1" "$dir" -DTUNEZAP_STATIC=ON
  "$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$dir/CMakeCache.txt")" --strip-all \
    -o "$out/tunezap-$version-linux-$2" "$dir/tunezap"
  scripts/check-hardening.sh "$3" "$out/tunezap-$version-linux-$2" "$dir" >&2
}
# debian_package [--arch ARCH]: the .deb that scripts/package-deb.sh builds and checks; for this
# machine's architecture the source package too.
debian_package() {
  local deb
  deb=$(scripts/package-deb.sh "$@" | tail -n 1)
  cp "$deb" "$out/"
  [ $# -gt 0 ] || cp "${deb%/*}"/*.dsc "${deb%/*}"/*.orig.tar.* "${deb%/*}"/*.debian.tar.* "$out/"
}
# windows_zip: the cross-built program in the zip that scripts/package-zip.sh makes.
windows_zip() {
  build windows "$work/win64"
  cp "$(scripts/package-zip.sh "$work/win64/tunezap.exe" | tail -n 1)" "$out/"
}

# One line per artifact: the function that builds it and its arguments. check-hardening.sh
# refuses a program with an interpreter, one not linked statically.
artifact() { echo "release: $*" >&2 && "$@"; }
artifact linux_binary release x86_64 static-pie
artifact linux_binary arm64 aarch64 static-pie
artifact linux_binary armhf armhf static
artifact debian_package
artifact debian_package --arch arm64
artifact debian_package --arch armhf
artifact windows_zip

(cd "$out" && sha256sum -- * >SHA256SUMS)
touch -d "@$SOURCE_DATE_EPOCH" "$out"/*
echo "release: $out ($version, commit $(git rev-parse --short HEAD))" >&2
cat "$out/SHA256SUMS"
