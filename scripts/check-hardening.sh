#!/usr/bin/env bash
# Checks with hardening-check (devscripts) that a program we ship is hardened:
#   scripts/check-hardening.sh dynamic PROGRAM
#   scripts/check-hardening.sh static-pie|static PROGRAM BUILD_DIR
# dynamic: a dynamically linked program (the Debian package's), judged whole: PIE, stack
# protector, fortified functions, read-only relocations, immediate binding.
# static-pie, static: a statically linked program, stripped or not. hardening-check looks for the
# stack protector and the fortified functions among the symbols a program imports, and a static
# one imports none, so it cannot judge those two there; it judges them on the objects the program
# was linked from, found in BUILD_DIR (the program's own and the project's libraries'). PIE it
# reports as "regular shared library (ignored)" for a static PIE program, which has no PHDR
# header: that is checked from the ELF type and the dynamic section's PIE flag instead. "static"
# is a program that cannot be PIE (Debian's armhf C library has no static PIE support), with
# read-only relocations.
# Control flow protection (-fcf-protection) is not among Debian 12's hardening flags, and is not
# asked for. Prints hardening-check's report; exits 1 when a check fails.
set -o pipefail
# shellcheck source=tests/lib.sh
. "$(dirname "$0")/../tests/lib.sh"
kind=${1:-} program=${2:-} build=$(realpath "${3:-.}")
[[ "$kind $#" =~ ^(dynamic 2|static-pie 3|static 3)$ ]] ||
  usage "dynamic PROGRAM | $0 static-pie|static PROGRAM BUILD_DIR"
command -v hardening-check >/dev/null || skip "no hardening-check (scripts/install-deps.sh package)"

# judge FILE [OPTION...]: hardening-check must pass, and answer "yes" on each line named in $yes
# (it passes lines it cannot judge, such as "unknown"). This machine's objdump cannot disassemble
# ARM code; hardening-check needs it only to look for stack clash protection, not asked for.
judge() {
  local report line
  report=$(hardening-check --nocfprotection "$@" 2>&1) || status=1
  grep -v -e "^objdump: can't disassemble" -e '^$' <<<"$report"
  for line in "${yes[@]}"; do
    grep -q "^ $line: yes" <<<"$report" || { echo "hardening: $1: not '$line: yes'" >&2; status=1; }
  done
}
fault() { echo "hardening: $program $1" >&2; status=1; }

headers=$(readelf -h -l -d "$program" 2>&1) || { echo "$headers" >&2; exit 1; }
if [ "$kind" = dynamic ]; then
  yes=("Position Independent Executable" "Stack protected" "Fortify Source functions"
    "Read-only relocations" "Immediate binding")
  judge "$program"
  exit $status
fi
# Without PIE there is no dynamic section to carry the flag, and nothing to bind lazily: the C
# library applies its few relocations at start.
yes=("Read-only relocations" "Immediate binding") unjudged=(--nostackprotector --nofortify)
[ "$kind" = static-pie ] || yes=("Read-only relocations") unjudged+=(--nopie --nobindnow)
judge "$program" "${unjudged[@]}"
! grep -q INTERP <<<"$headers" || fault "has a program interpreter: not linked statically"
[ "$kind" != static-pie ] || { grep -q '^ *Type: *DYN' <<<"$headers" &&
  grep -q '(FLAGS_1).*\bPIE\b' <<<"$headers" && echo " Static PIE: yes"; } ||
  fault "is not a static PIE program"
# The objects it was linked from, in one archive, as hardening-check judges archives.
ar rc "$work/tunezap-objects.a" "$build"/CMakeFiles/tunezap.dir/src/*.o &&
  for library in "$build"/libtunezap_*.a; do
    (cd "$work" && ar x "$library" && ar rc tunezap-objects.a ./*.o && rm ./*.o)
  done || status=1
yes=("Stack protected" "Fortify Source functions")
judge "$work/tunezap-objects.a"
exit $status
