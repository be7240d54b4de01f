#!/usr/bin/env bash
# Cross-builds tunezap for ARM Linux and runs the console cases (tests/cli_test.sh) and the whole
# program on device trees (tests/tree_test.sh: report bytes, the lock) under qemu-user, started
# explicitly through qemu-aarch64-static / qemu-arm-static (no binfmt_misc needed): the static
# program, and the program inside the Debian package (cross-built by dpkg-buildpackage through
# scripts/package-deb.sh, which has lintian and hardening-check judge it) with the cross
# compiler's C library. Each package must hold the same files as this machine's and depend on the
# same packages. The static programs must be hardened too. Warnings are errors.
#   scripts/test-arm.sh [--no-deb] [ARCH...]   (arm64, armhf; default both)
# Without the cross compilers or qemu-user (and no way to install them) the run is skipped, except
# under CI=true, where that is a failure.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
debs=1
if [ "${1:-}" = --no-deb ]; then debs=0; shift; fi
[ $# -gt 0 ] || set -- arm64 armhf

# shellcheck source=tests/tally.sh
. tests/tally.sh
log=$(mktemp)
trap 'rm -f "$log"' EXIT

if ! scripts/install-deps.sh build package arm >"$log" 2>&1; then
  cat "$log" >&2
  if [ "${CI:-}" = true ]; then fail "install the cross compilers and qemu-user"; finish; exit; fi
  echo "test-arm: skipped, the cross compilers and qemu-user could not be installed"
  exit 0
fi

# Counts the closing "N passed, N failed" line of a suite into the tally.
suite() {
  echo "=== $1"
  shift
  "$@" | tee "$log"
  local summary
  summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1)
  if [ -z "$summary" ]; then fail "the suite ended without its summary"; return; fi
  passed=$((passed + ${summary%% passed*}))
  summary=${summary#*, }
  failed=$((failed + ${summary%% failed}))
}

# Each program runs on the oldest processor of the Raspberry Pis it is meant for, so that an
# instruction those lack fails here: the Cortex-A53 of the Pi 3 and Zero 2 W (arm64), the Cortex-A7
# of the Pi 2 (armhf; Debian's armhf is ARMv7, so the ARMv6 Pi 1 and Zero are not among them).
for arch in "$@"; do
  case "$arch" in
    arm64) triplet=aarch64-linux-gnu qemu="qemu-aarch64-static -cpu cortex-a53" machine=AArch64
      linked=static-pie ;;
    # Debian's armhf C library cannot link a static PIE program.
    armhf) triplet=arm-linux-gnueabihf qemu="qemu-arm-static -cpu cortex-a7" machine=ARM
      linked=static ;;
    *) fail "unknown architecture '$arch'"; continue ;;
  esac
  echo "=== $arch: static build"
  if ! program=$(scripts/build-arm.sh "$arch" "build-$arch" -DTUNEZAP_WERROR=ON \
    -DTUNEZAP_TESTS=ON | tail -n 1) ||
    ! cmake --build "build-$arch" --target tree_tunezap >"$log"; then
    cat "$log"
    fail "$arch: build"
    continue
  fi
  pass "$arch: build $program"
  headers=$(readelf -h -l "$program" 2>&1)
  if grep -q "Machine: *$machine\$" <<<"$headers"; then pass "$arch: an $machine program"; else
    fail "$arch: an $machine program" "$(grep Machine: <<<"$headers")"; fi
  if grep -q INTERP <<<"$headers"; then
    fail "$arch: linked statically" "it has an interpreter"
  else
    pass "$arch: linked statically"
  fi
  if scripts/check-hardening.sh $linked "$program" "build-$arch" >"$log" 2>&1; then
    pass "$arch: hardened, $linked"
  else
    cat "$log"
    fail "$arch: hardened, $linked"
  fi
  suite "$arch: console cases of the static program under $qemu" \
    tests/cli_test.sh --runner "$qemu" "$program"
  suite "$arch: the static program on device trees under $qemu" \
    tests/tree_test.sh --runner "$qemu" "build-$arch/tree_tunezap"

  [ $debs -eq 1 ] || continue
  echo "=== $arch: Debian package"
  if ! deb=$(scripts/package-deb.sh --arch "$arch" 2>"$log" | tail -n 1) || [ ! -f "$deb" ]; then
    cat "$log"
    fail "$arch: package (scripts/package-deb.sh --arch $arch)"
    continue
  fi
  pass "$arch: package $deb, lintian --pedantic and hardening-check clean"
  # The same files as the package of this machine, and dependencies on the same packages.
  if [ -z "${native_deb:-}" ]; then
    native_deb=$(scripts/package-deb.sh 2>"$log" | tail -n 1) || { cat "$log"; native_deb=none; }
  fi
  if [ -f "$native_deb" ]; then
    contents() { dpkg-deb -c "$1" | awk '{ print $1, $6 }'; }
    depends() { dpkg-deb -f "$1" Depends | tr ',' '\n' | awk '{ print $1 }' | sort; }
    if diff <(contents "$native_deb") <(contents "$deb") >"$log"; then
      pass "$arch: the same files as $native_deb"
    else
      fail "$arch: the same files as $native_deb" "$(tr '\n' ' ' <"$log")"
    fi
    if [ "$(depends "$native_deb")" = "$(depends "$deb")" ]; then
      pass "$arch: depends on the same packages: $(depends "$deb" | tr '\n' ' ')"
    else
      fail "$arch: depends on the same packages" \
        "$(dpkg-deb -f "$deb" Depends), $native_deb: $(dpkg-deb -f "$native_deb" Depends)"
    fi
  else
    fail "$arch: compared with this machine's package" "scripts/package-deb.sh failed"
  fi
  unpacked=build-deb-$arch/unpacked
  rm -rf "$unpacked"
  dpkg-deb -x "$deb" "$unpacked"
  suite "$arch: console cases of the packaged program under $qemu" \
    tests/cli_test.sh --runner "$qemu -L /usr/$triplet" "$unpacked/usr/bin/tunezap"
done

finish
