#!/usr/bin/env bash
# Builds and runs every test: unit, process and device-tree tests on Release builds with g++ and
# clang, the suite against the real kernel in QEMU, the same tests under clang with
# AddressSanitizer and UndefinedBehaviorSanitizer, whole runs under valgrind, the fuzzers, the
# Windows build under wine, the release command twice (identical files), and the Debian package
# (installed, run and removed, and its autopkgtest, when root); the ARM builds: console cases under
# qemu-user, ARM Debian packages, the kernel suite's uhid scenarios on arm64. Every program shipped
# is checked by hardening-check, every Debian package by lintian --pedantic.
# Every build it makes, here and in the scripts it calls, treats warnings as errors.
# FUZZ_SECONDS (default 60) sets how long each fuzzer runs.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all || exit 1
export TUNEZAP_WERROR=ON

passed=0
failed=0
stage() {
  local name=$1
  shift
  echo "=== $name"
  local start=$SECONDS
  if "$@"; then
    passed=$((passed + 1))
    echo "=== $name: passed ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    echo "=== $name: FAILED ($((SECONDS - start)) s)"
  fi
}

build_and_test() {  # DIR CTEST-ARGS... -- CMAKE-ARGS...
  local dir=$1
  shift
  local ctest_args=()
  while [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  shift
  cmake -S . -B "$dir" -G Ninja -DTUNEZAP_WERROR=ON "$@" >/dev/null &&
    cmake --build "$dir" &&
    ctest --test-dir "$dir" --output-on-failure "${ctest_args[@]}"
}

# What debian/control declares for each Debian package built below, and build-essential, which
# dpkg-buildpackage adds: install-deps.sh has installed them.
stage "build dependencies of the Debian packages: this machine's, arm64, armhf" \
  scripts/install-deps.sh --check package arm
# src/ as clang-tidy and cppcheck read it in the Linux and the Windows build: any finding fails.
stage "static analysis: clang-tidy and cppcheck, Linux and Windows layers" scripts/analyse.sh
# Release, the build type users and packagers build.
stage "g++ Release build, benchmarks built too, all tests" build_and_test build -- \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ -DTUNEZAP_BENCH=ON
stage "hardening-check: the default build, static PIE" \
  scripts/check-hardening.sh static-pie build/tunezap build
# Linked dynamically, so that valgrind can run its programs below.
stage "clang Release build, linked dynamically, all tests but the kernel suite" \
  build_and_test build-clang -LE e2e -- -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
  -DTUNEZAP_STATIC=OFF
stage "clang build with ASan and UBSan, all tests but the kernel suite" \
  build_and_test build-sanitize -LE e2e -- -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_COMPILER=clang++ -DTUNEZAP_SANITIZE=ON

valgrind=(valgrind -q --error-exitcode=99 --suppressions=tests/valgrind.supp --leak-check=full
  --show-leak-kinds=all --errors-for-leak-kinds=all)
# memcheck replaces malloc only in a dynamically linked program: in a static one its leak check
# could never fail.
under_valgrind() {  # TEST-SCRIPT PROGRAM
  if ! readelf -l "$2" | grep -q 'program interpreter'; then
    echo "valgrind: $2 is linked statically; memcheck cannot see its allocations" >&2
    return 1
  fi
  "$1" --runner "${valgrind[*]}" "$2"
}
stage "valgrind: whole runs on device trees" \
  under_valgrind tests/tree_test.sh build-clang/tests/tree_tunezap
stage "valgrind: the program's console cases" under_valgrind tests/cli_test.sh build-clang/tunezap
stage "fuzzers, ${FUZZ_SECONDS:-60} s each" scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
stage "Windows build under wine" scripts/test-windows.sh
stage "Windows zip" scripts/package-zip.sh
stage "ARM builds (arm64, armhf) and packages: console cases under qemu-user" scripts/test-arm.sh
# The armhf program runs there too, as on a Raspberry Pi whose 32-bit system boots a 64-bit kernel.
arm64_kernel_suite() {
  local program armhf status
  program=$(scripts/build-arm.sh arm64 build-arm64 -DTUNEZAP_WERROR=ON | tail -n 1) || return
  armhf=$(scripts/build-arm.sh armhf build-armhf -DTUNEZAP_WERROR=ON | tail -n 1) || return
  tests/e2e/run.sh --arch arm64 --armhf "$armhf" "$program"
  status=$?
  # 77: skipped, and said so; under CI=true a missing piece fails instead.
  [ $status -eq 77 ] || return $status
}
stage "arm64 kernel suite: uhid scenarios in qemu-system-aarch64, arm64 and armhf programs" \
  arm64_kernel_suite

# The release command, run twice on one commit (this tree's tracked files, changes included) in
# two checkouts at different paths: every artifact must come out byte for byte the same.
release_twice() {
  local work commit copy name status=0
  work=$(mktemp -d)
  # A stash is a commit: it needs a committer.
  local git=(git -c safe.directory="$PWD" -c user.name=tunezap-test -c user.email=test@localhost)
  # Empty when nothing tracked has changed.
  commit=$("${git[@]}" stash create) || return 1
  commit=${commit:-$("${git[@]}" rev-parse HEAD)}
  for copy in one two/deeper; do
    if ! { "${git[@]}" clone -q --shared --no-checkout . "$work/$copy" &&
      git -C "$work/$copy" checkout -q --detach "$commit" &&
      "$work/$copy/scripts/release.sh" >"$work/${copy%%/*}.log" 2>&1; }; then
      echo "release.sh failed in $work/$copy:"
      tail -n 20 "$work/${copy%%/*}.log"
      rm -rf "$work"
      return 1
    fi
  done
  cat "$work/one/release/SHA256SUMS"
  for copy in "$work/one/release"/* "$work/two/deeper/release"/*; do
    name=$(basename "$copy")
    if ! cmp "$work/one/release/$name" "$work/two/deeper/release/$name"; then
      status=1
      if command -v diffoscope >/dev/null; then
        diffoscope "$work/one/release/$name" "$work/two/deeper/release/$name" | head -n 40
      fi
    fi
  done
  rm -rf "$work"
  [ $status -eq 0 ] && echo "ok - both runs gave the same files"
  return $status
}
stage "release command: two runs give identical files" release_twice
if [ "$(id -u)" -eq 0 ]; then
  stage "Debian package: build, install, run, remove; autopkgtest" scripts/check-deb.sh
else
  echo "=== Debian package: skipped (installing it needs root)"
fi

echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
