#!/usr/bin/env bash
# Builds and runs every test: the workflow of each build in CMakePresets.json (configure from
# scratch, build, test), in this order: release (unit, console, device-tree and kernel-suite tests;
# hardening; the release made twice; the Debian package), clang (src/ analysed; the process tests
# also under valgrind), sanitize (ASan and UBSan), fuzz, windows (under wine), armhf and arm64
# (under qemu-user; the ARM packages; the kernel suite on arm64). Installs what is missing first.
# The workflows run the tests labelled system too (test presets NAME-all), which the test presets
# of `ctest --preset NAME` leave out: those that install packages into this system or fetch them.
# Every build treats warnings as errors. FUZZ_SECONDS (default 60) sets how long each fuzzer runs.
# The tally is CTest's: the last line sums the tests of every build, a build that fails counting
# as one failed test.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
scripts/install-deps.sh all || exit 1
# Warnings as errors, the benchmarks built, the Windows build's sources analysed as it compiles.
export TUNEZAP_WERROR=ON TUNEZAP_BENCH=ON TUNEZAP_ANALYSE=ON
log=$(mktemp)
trap 'rm -f "$log"' EXIT
passed=0 failed=0
for preset in release clang sanitize fuzz windows armhf arm64; do
  echo "=== $preset"
  start=$SECONDS
  cmake --workflow --preset "$preset" --fresh 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  # CTest's closing line: "100% tests passed, 0 tests failed out of 66".
  read -r failures total < <(sed -n 's/.* \([0-9]*\) tests\? failed out of \([0-9]*\)$/\1 \2/p' "$log")
  : "${failures:=0}" "${total:=0}"
  if [ "$status" -ne 0 ] && [ "$failures" -eq 0 ]; then
    failures=1 total=$((total + 1))  # the build failed, or the tests could not run
  fi
  passed=$((passed + total - failures)) failed=$((failed + failures))
  echo "=== $preset: $((total - failures)) passed, $failures failed ($((SECONDS - start)) s)"
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
