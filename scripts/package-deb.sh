#!/usr/bin/env bash
# Builds the Debian package: scripts/package-deb.sh [--arch ARCH] [CMAKE-ARG...]
# A release build in build-deb with Debian's hardening flags, packaged by CPack, checked by lintian.
# Linked dynamically, as Debian's policy asks: the system's C and C++ libraries, and their
# security updates, apply to it.
# --arch arm64 or armhf cross-compiles with the toolchain files in cmake/ into build-deb-ARCH; the
# default is this machine's architecture. Prints the path of the .deb on the last line of standard
# output. TUNEZAP_WERROR=ON in the environment makes warnings errors (the test command sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=$(dpkg --print-architecture)
if [ "${1:-}" = --arch ]; then
  arch=${2:-}
  shift 2 || shift
fi
build="build-deb"
triplet=""
case "$arch" in
  "$(dpkg --print-architecture)") ;;
  arm64) triplet=aarch64-linux-gnu ;;
  armhf) triplet=arm-linux-gnueabihf ;;
  *) echo "package-deb: cannot build for '$arch' (arm64, armhf or this machine's)" >&2; exit 2 ;;
esac
scripts/install-deps.sh build package
cross=()
if [ -n "$triplet" ]; then
  scripts/install-deps.sh arm
  build=build-deb-$arch
  cross=("-DCMAKE_TOOLCHAIN_FILE=cmake/$triplet.cmake")
  # dpkg-buildflags gives the flags of the package's architecture.
  export DEB_HOST_ARCH=$arch
fi

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

rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DTUNEZAP_TESTS=OFF -DTUNEZAP_STATIC=OFF -DTUNEZAP_WERROR="${TUNEZAP_WERROR:-OFF}" \
  "${cross[@]}" "$@" >/dev/null
cmake --build "$build" --target tunezap >/dev/null

cpack=()
if [ -n "$triplet" ]; then
  # CPack's dpkg-shlibdeps searches this machine's libraries only. The cross libraries' shlibs
  # and symbols files give the dependencies, named as the cross packages (libgcc-s1-arm64-cross)
  # or qualified with their architecture (libc6:arm64): inside a package of that architecture
  # both are the plain name (libgcc-s1, libc6).
  shlibdeps=$(mktemp -d)
  mkdir "$shlibdeps/debian"
  printf 'Source: tunezap\n\nPackage: tunezap\nArchitecture: any\n' >"$shlibdeps/debian/control"
  depends=$(cd "$shlibdeps" && dpkg-shlibdeps -O "-l/usr/$triplet/lib" "$OLDPWD/$build/tunezap" \
    2>/dev/null | sed -n "s/^shlibs:Depends=//p" | sed -e "s/:$arch\b//g" -e "s/-$arch-cross\b//g")
  rm -rf "$shlibdeps"
  if [ -z "$depends" ]; then
    echo "package-deb: dpkg-shlibdeps found no dependencies of $build/tunezap" >&2
    exit 1
  fi
  cpack=(-D CPACK_DEBIAN_PACKAGE_ARCHITECTURE="$arch" -D CPACK_DEBIAN_PACKAGE_SHLIBDEPS=OFF
    -D CPACK_DEBIAN_PACKAGE_DEPENDS="$depends")
fi
(cd "$build" && cpack -G DEB "${cpack[@]}" >/dev/null)

debs=("$build"/tunezap_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "package-deb: expected one .deb in $build, found: ${debs[*]}" >&2
  exit 1
fi
deb=${debs[0]}

# Errors fail the build; warnings and informational tags are shown.
lintian --fail-on error --display-info "$deb" >&2
echo "$deb"
