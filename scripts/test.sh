#!/usr/bin/env bash
# Builds and runs every test: unit and process tests with g++, the same under clang with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all || exit 1

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
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null &&
    cmake --build "$dir" &&
    ctest --test-dir "$dir" --output-on-failure "${ctest_args[@]}"
}

stage "g++ build, all tests" build_and_test build -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=g++
stage "clang build with ASan and UBSan, all tests but the kernel suite" \
  build_and_test build-sanitize -LE e2e -- -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_COMPILER=clang++ -DTUNEZAP_SANITIZE=ON

echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
