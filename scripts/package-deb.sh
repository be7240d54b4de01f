#!/usr/bin/env bash
# Builds the Debian package: scripts/package-deb.sh [CMAKE-ARG...]
# A release build in build-deb with Debian's hardening flags, packaged by CPack, checked by lintian.
# Linked dynamically, as Debian's policy asks: the system's C and C++ libraries, and their
# security updates, apply to it.
# Prints the path of the .deb on the last line of standard output. TUNEZAP_WERROR=ON in the
# environment makes warnings errors (the test command sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build package

# The commit's date stamps the changelog, so two builds of one commit give the same package.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
  export SOURCE_DATE_EPOCH
fi

# Debian's compiler and linker flags with every hardening feature (stack protector, fortified
# functions, PIE, relro and immediate binding). CMake reads CXXFLAGS and LDFLAGS from the
# environment when it first configures a build directory.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CXXFLAGS LDFLAGS

rm -rf build-deb
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DTUNEZAP_TESTS=OFF -DTUNEZAP_STATIC=OFF -DTUNEZAP_WERROR="${TUNEZAP_WERROR:-OFF}" "$@" \
  >/dev/null
cmake --build build-deb --target tunezap >/dev/null
(cd build-deb && cpack -G DEB >/dev/null)

debs=(build-deb/tunezap_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "package-deb: expected one .deb in build-deb, found: ${debs[*]}" >&2
  exit 1
fi
deb=${debs[0]}

# Errors fail the build; warnings and informational tags are shown.
lintian --fail-on error --display-info "$deb" >&2
echo "$deb"
