#!/usr/bin/env bash
# Makes the Windows zip: tunezap.exe (stripped), README.txt and LICENSE.txt (both with CRLF line
# breaks, for Notepad), at the top of the archive, since Windows' "Extract All" makes a folder.
#   scripts/package-zip.sh [TUNEZAP.EXE]
# Without an argument the program is cross-built first (preset windows, in build-windows). The
# zip lands beside the program as tunezap-VERSION-win64.zip; its path is the last line printed.
# Without zip it exits 77 (scripts/install-deps.sh package installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tests/lib.sh
. tests/lib.sh
[ $# -le 1 ] || usage "[TUNEZAP.EXE]"
[ $# -eq 1 ] || { cmake --preset windows && cmake --build --preset windows --target tunezap; } >&2
exe=${1:-build-windows/tunezap.exe}
# A Windows program starts with the bytes "MZ".
[ "$(head -c 2 "$exe" 2>/dev/null)" = MZ ] || { echo "package-zip: '$exe' is not a Windows program" >&2; exit 1; }
command -v zip >/dev/null || skip "zip is not installed"
version=$(sed -n 's/^project(tunezap VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zipfile=$(realpath "$(dirname "$exe")")/tunezap-$version-win64.zip

# Stamps come from the commit, not the clock: strip writes it into the program's header, touch
# onto every file, and zip stores no extra attributes, so one program and commit give one zip.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
# The cross build keeps debug sections, which more than double the program's size.
x86_64-w64-mingw32-strip -o "$work/tunezap.exe" "$exe"
sed 's/\r$//; s/$/\r/' README.md >"$work/README.txt"
sed 's/\r$//; s/$/\r/' LICENSE >"$work/LICENSE.txt"
touch -d "@$SOURCE_DATE_EPOCH" "$work"/*
rm -f "$zipfile"
(cd "$work" && TZ=UTC zip -q -X -9 "$zipfile" tunezap.exe README.txt LICENSE.txt)
echo "$zipfile"
