#!/usr/bin/env bash
# Builds the Windows program and runs it under wine: the shared console and command-line
# expectations, the raw command-line and device-walk checks, the platform layer's own checks, and
# the DLLs the program imports, then the kernel suite's Windows group (tests/e2e/run.sh --windows:
# the program against emulated devices, in a QEMU guest of its own). Uses a throwaway wine prefix
# inside the build directory. Without wine or mingw-w64 (and no way to install them) the run is
# skipped, except under CI=true, where that is a failure.
#   scripts/test-windows.sh [BUILD_DIR]   (default build-windows)
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-windows}

passed=0
failed=0
finish() {
  echo "$passed passed, $failed failed${1:+ ($1)}"
  [ "$failed" -eq 0 ]
  exit
}
unavailable() {
  echo "test-windows: $1" >&2
  if [ "${CI:-}" = true ]; then
    failed=$((failed + 1))
    finish "$1"
  fi
  finish "skipped: $1"
}

if ! command -v wine >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "test-windows: installing wine" >&2
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
      --no-install-recommends wine wine64 >/dev/null || unavailable "wine could not be installed"
  else
    unavailable "wine is missing and this is not root"
  fi
fi
scripts/build-windows.sh "$build" >/dev/null || {
  command -v x86_64-w64-mingw32-g++-win32 >/dev/null || unavailable "mingw-w64 is missing"
  failed=$((failed + 1))
  finish "the build failed"
}

# Counts the closing "N passed, N failed" line of a suite into the totals.
suite() {
  echo "=== $1"
  shift
  "$@" | tr -d '\r' | tee "$build/suite.log"
  local summary
  summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed(, [0-9]+ skipped)?$' "$build/suite.log" | tail -n 1)
  if [ -z "$summary" ]; then
    failed=$((failed + 1))
    echo "FAIL - the suite ended without its summary"
    return
  fi
  passed=$((passed + ${summary%% passed*}))
  summary=${summary#*, }
  failed=$((failed + ${summary%% failed*}))
}

echo "=== imported DLLs"
imports=$(x86_64-w64-mingw32-objdump -p "$build/tunezap.exe" | awk '/DLL Name:/ {print tolower($3)}' |
  sort | tr '\n' ' ')
if [ "$imports" = "advapi32.dll hid.dll kernel32.dll msvcrt.dll setupapi.dll " ]; then
  passed=$((passed + 1))
  echo "ok - imports only system DLLs: $imports"
else
  failed=$((failed + 1))
  echo "FAIL - imports: $imports"
fi

# A fresh prefix for every run; making it takes a few seconds, and it must be ready before the
# first timed run, or its setup messages land on the program's standard error.
export WINEPREFIX=$PWD/$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
wineboot --init >/dev/null 2>&1
wineserver --wait
trap 'wineserver --kill 2>/dev/null' EXIT

# Started through exact_command_line.exe, the program gets the same command line a Windows console
# would give it, so the whole table applies; started by wine directly, only the portable part.
suite "console and command line, exact command lines" \
  tests/cli_test.sh --runner "wine $build/exact_command_line.exe" "$build/tunezap.exe"
suite "console and command line, started by wine" \
  tests/cli_test.sh --runner wine --portable-only "$build/tunezap.exe"
suite "raw command lines and the device walk" tests/windows/wine_test.sh "$build"
suite "platform layer against the system" timeout -k 5 120 wine "$build/platform_test.exe"
# Against emulated devices: the kernel suite's guest runs this build under its own wine.
scripts/install-deps.sh e2e >&2 || echo "test-windows: the kernel suite's packages are missing" >&2
suite "against emulated devices, in the kernel suite's guest" \
  tests/e2e/run.sh --windows "$build/tunezap.exe"

finish
