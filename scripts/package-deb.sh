#!/usr/bin/env bash
# Builds the Debian packages with dpkg-buildpackage from debian/, as Debian builds its own:
#   scripts/package-deb.sh [--arch ARCH]
# This machine's architecture: the source package (tunezap_VERSION.orig.tar.gz from git archive,
# the debian.tar.xz and the .dsc) and the binary package, with the unit and process tests run in
# the build. --arch arm64 or armhf: the binary package cross-built with Debian's cross toolchain
# (dpkg-buildpackage -a ARCH -Pcross,nocheck). The build runs in an export of the checkout's
# tracked files (changes included) in build-deb (build-deb-ARCH), where the files land, so
# nothing is written beside the checkout. lintian --pedantic must find no error, no warning and
# no pedantic tag, and hardening-check must pass on the program. Prints the path of the .deb on the last line.
# TUNEZAP_WERROR=ON in the environment makes warnings errors (the test command sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# The checkout may belong to another user than the one building.
git() { command git -c safe.directory="$root" "$@"; }

native=$(dpkg --print-architecture)
case "$*" in
  "") arch=$native build=build-deb options=() ;;
  "--arch arm64" | "--arch armhf") arch=$2 build=build-deb-$2 options=(-a "$2" -Pcross,nocheck -B) ;;
  *) echo "usage: $0 [--arch arm64|armhf]" >&2; exit 2 ;;
esac
scripts/install-deps.sh build package ${2:+arm}

# The commit to build: HEAD, or with uncommitted changes to tracked files a commit of them.
commit=$(git -c user.name=tunezap -c user.email=tunezap@localhost stash create)
commit=${commit:-$(git rev-parse HEAD)}
version=$(dpkg-parsechangelog -S Version)
upstream=${version%-*}

rm -rf "$build" && mkdir -p "$build"
git archive --prefix="tunezap-$upstream/" "$commit" | tar -x -C "$build"
# The upstream tarball: the project without its packaging. git archive stamps every file with the
# commit's time, and gzip -n stores no name or time, so one commit gives one tarball.
git archive --format=tar --prefix="tunezap-$upstream/" "$commit" -- . ':(exclude)debian' |
  gzip -9n >"$build/tunezap_$upstream.orig.tar.gz"

# At most two jobs; no tests in a cross build (with the profile nocheck goes the option);
# warnings as errors where the test command asks for it.
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=2}"
[ "$arch" = "$native" ] || DEB_BUILD_OPTIONS+=" nocheck"
if [ "${TUNEZAP_WERROR:-OFF}" = ON ]; then export DEB_CXXFLAGS_APPEND=-Werror; fi
log=$root/$build/build.log
(cd "$build/tunezap-$upstream" && dpkg-buildpackage -us -uc "${options[@]}") >"$log" 2>&1 ||
  { tail -n 40 "$log" >&2; echo "package-deb: dpkg-buildpackage failed (see $log)" >&2; exit 1; }

deb=$build/tunezap_${version}_$arch.deb
[ -f "$deb" ] || { echo "package-deb: no $deb" >&2; exit 1; }
# The .changes names every file built: source and binary packages.
lintian --pedantic --display-info --fail-on error,warning,pedantic "$build/tunezap_${version}_$arch.changes" >&2
dpkg-deb -x "$deb" "$build/unpacked"
scripts/check-hardening.sh dynamic "$build/unpacked/usr/bin/tunezap" >&2
echo "$deb"
