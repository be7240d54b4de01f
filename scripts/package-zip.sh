#!/usr/bin/env bash
# Makes the Windows zip: tunezap.exe (stripped), README.txt and LICENSE.txt (both with CRLF line
# breaks, for Notepad), at the top of the archive, since Windows' "Extract All" makes a folder.
#   scripts/package-zip.sh [TUNEZAP.EXE]
# Without an argument the program is cross-built first with scripts/build-windows.sh. The zip
# lands in build-windows/ as tunezap-VERSION-win64.zip; its path is the last line printed.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-windows

if [ $# -gt 1 ]; then
  echo "usage: $0 [TUNEZAP.EXE]" >&2
  exit 2
elif [ $# -eq 1 ]; then
  exe=$1
elif [ -x scripts/build-windows.sh ]; then
  scripts/build-windows.sh "$out" >&2
  exe=$out/tunezap.exe
else
  echo "package-zip: no scripts/build-windows.sh here; pass the path of tunezap.exe" >&2
  exit 2
fi
# A Windows program starts with the bytes "MZ".
if [ ! -f "$exe" ] || [ "$(head -c 2 "$exe")" != "MZ" ]; then
  echo "package-zip: '$exe' is not a Windows program" >&2
  exit 1
fi
command -v zip >/dev/null || scripts/install-deps.sh package

version=$(sed -n 's/^project(tunezap VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package-zip: no version in CMakeLists.txt" >&2; exit 1; }
zipfile=$out/tunezap-$version-win64.zip

# Stamps come from the commit, not the clock: strip writes it into the program's header, touch
# onto every file, and zip stores no extra attributes, so one program and commit give one zip.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$exe" "$stage/tunezap.exe"
# The cross build keeps debug sections, which more than double the program's size.
strip_program=$(command -v x86_64-w64-mingw32-strip || command -v strip)
"$strip_program" "$stage/tunezap.exe"
to_crlf() { sed 's/\r$//; s/$/\r/' "$1" >"$2"; }
to_crlf README.md "$stage/README.txt"
to_crlf LICENSE "$stage/LICENSE.txt"

touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*

mkdir -p "$out"
rm -f "$zipfile"
absolute=$(realpath "$zipfile")
(cd "$stage" && TZ=UTC zip -q -X -9 "$absolute" tunezap.exe README.txt LICENSE.txt)
echo "$zipfile"
