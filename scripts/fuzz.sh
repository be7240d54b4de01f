#!/usr/bin/env bash
# Usage: scripts/fuzz.sh SECONDS
# Builds every libFuzzer target (fuzz/<name>_fuzz.cc) with clang in build-fuzz/ and runs each for
# SECONDS seconds on a scratch copy of its seeds (fuzz/corpus/<name>/). Fails on the first crash;
# the crashing input is kept in build-fuzz/artifacts/. TUNEZAP_WERROR=ON in the environment makes
# warnings errors (the test command sets it).
set -euo pipefail

if [[ $# -ne 1 || ! $1 =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 SECONDS" >&2
  exit 2
fi
seconds=$1
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
cxx=${CXX_FUZZ:-clang++}

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTUNEZAP_FUZZ=ON -DTUNEZAP_TESTS=OFF -DTUNEZAP_WERROR="${TUNEZAP_WERROR:-OFF}" >&2

targets=()
for src in "$root"/fuzz/*_fuzz.cc; do
  targets+=("$(basename "$src" .cc)")
done
if [[ ${#targets[@]} -eq 0 ]]; then
  echo "$0: no fuzz targets in $root/fuzz" >&2
  exit 1
fi
cmake --build "$build" --parallel --target "${targets[@]}" >&2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/artifacts"

for target in "${targets[@]}"; do
  name=${target%_fuzz}
  corpus=$work/$name
  mkdir -p "$corpus"
  if [[ -d $root/fuzz/corpus/$name ]]; then
    cp -R "$root/fuzz/corpus/$name/." "$corpus/"
  fi
  echo "== $target: ${seconds}s" >&2
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" "$corpus" >&2; then
    echo "$0: $target failed; see $build/artifacts/" >&2
    exit 1
  fi
done
echo "all fuzz targets ran ${seconds}s without a crash" >&2
