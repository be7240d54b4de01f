#!/usr/bin/env bash
# Static analysis of the program's sources (src/): clang-tidy with the checks of .clang-tidy, and
# cppcheck, each over the Linux build and over the Windows (mingw-w64) build. Any finding, and any
# file a tool cannot read, fails the run. Both tools read a build's compile_commands.json: this
# configures the two builds (compiling nothing) and keeps the entries for files under src/.
#   scripts/analyse.sh [LINUX_BUILD_DIR [WINDOWS_BUILD_DIR]]
#   (default build-analyse and build-analyse-windows)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
linux=${1:-build-analyse}
windows=${2:-build-analyse-windows}
jobs=2
status=0

# configure BUILD CMAKE-ARGS...: BUILD/src-only/compile_commands.json, src/ entries only.
configure() {
  local build=$1
  shift
  cmake -S . -B "$build" -G Ninja -DTUNEZAP_TESTS=OFF "$@" >/dev/null || return
  mkdir -p "$build/src-only"
  jq --arg src "$PWD/src/" '[.[] | select(.file | startswith($src))]' \
    "$build/compile_commands.json" >"$build/src-only/compile_commands.json" || return
  # An empty list would pass every check below.
  [ "$(jq length "$build/src-only/compile_commands.json")" -gt 0 ] || {
    echo "analyse: no file under src/ in $build/compile_commands.json" >&2
    return 1
  }
}

# tidy NAME BUILD EXTRA-ARGS...: clang-tidy on every file of the build's src/ entries.
tidy() {
  local name=$1 database=$2/src-only
  shift 2
  echo "--- clang-tidy, $name"
  jq -r '.[].file' "$database/compile_commands.json" |
    xargs -P "$jobs" -n 1 clang-tidy --quiet -p "$database" "$@" \
      2> >(grep -v '^[0-9]* warnings\? generated\.$' >&2) || {
    echo "analyse: clang-tidy found something in the $name layer" >&2
    status=1
  }
}

# check NAME BUILD CPPCHECK-ARGS...: cppcheck over the build's src/ entries.
check() {
  local name=$1 database=$2/src-only
  shift 2
  echo "--- cppcheck, $name"
  cppcheck --project="$database/compile_commands.json" --enable=warning,performance,portability \
    --std=c++20 --inline-suppr --error-exitcode=1 --quiet -j "$jobs" "$@" || {
    echo "analyse: cppcheck found something in the $name layer" >&2
    status=1
  }
}

configure "$linux" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ || exit 1
tidy Linux "$linux"
check Linux "$linux"

# The Windows layer, as the mingw-w64 build compiles it. clang reads mingw-w64's C headers by
# itself for that target, but not the C++ library of Debian's g++-mingw-w64, whose directories
# are named after the thread flavour ("12-win32"): those it is given, as the cross compiler
# reports them.
configure "$windows" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake || exit 1
compiler=$(jq -r '.[0].command | split(" ")[0]' "$windows/src-only/compile_commands.json")
target_args=(--extra-arg=--target=x86_64-w64-mingw32)
while read -r dir; do
  target_args+=("--extra-arg=-isystem$dir")
done < <("$compiler" -x c++ -E -v - </dev/null 2>&1 |
  sed -n '/#include <...> search starts here/,/End of search list/p' | grep '/c++')
[ ${#target_args[@]} -gt 1 ] || { echo "analyse: $compiler names no C++ headers" >&2; exit 1; }
tidy Windows "$windows" "${target_args[@]}"
check Windows "$windows" --platform=win64

[ $status -eq 0 ] && echo "analyse: no finding"
exit $status
