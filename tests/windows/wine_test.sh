#!/usr/bin/env bash
# Checks of the Windows build that only Windows (here: wine) can answer: how the HID interfaces
# are walked, traced call by call, and what --list, --help and --version show there.
#   tests/windows/wine_test.sh TUNEZAP.EXE
# WINEPREFIX must name a prefix that is already made. No device 6666:f100 may be present.
# shellcheck source=tests/lib.sh
. "$(dirname "$0")/../lib.sh"
[ $# -eq 1 ] || usage "TUNEZAP.EXE"
program=$1 runner=(wine)

# The device walk, traced at the DLL boundary. Every present HID interface must be opened with
# neither read nor write access, its attributes read with that same handle and the handle closed,
# in the one search of a run without the device (the reports after the first are held back);
# nothing is opened for reading or writing, matched, locked or written.
WINEDEBUG=+relay capture 1 5 123
mv "$work/err" "$work/trace"
examined=$(grep -Eo 'among [0-9]+ HID interfaces' "$work/trace" | grep -Eo '[0-9]+' | head -n 1)
thread=$(grep -m 1 -Eo '^[0-9a-f]+:Call hid\.HidD_GetHidGuid' "$work/trace" | cut -d: -f1)
# Wine always shows HID interfaces of its own (two, vendor 845e); seeing none means the walk broke.
if [ "$code" -ne 1 ] || [ "${examined:-0}" -eq 0 ] || [ -z "$thread" ]; then
  fail "device walk traced" "exit status $code, interfaces '${examined:-?}', thread '${thread:-?}'"
else
  # Calls the program itself makes: its image is loaded at 0x140000000.
  grep -E "^$thread:(Call|Ret) .* ret=14[0-9a-f]{7}\$" "$work/trace" >"$work/calls"
  verdict=$(awk -v n="$examined" '
    function call(name) { return $0 ~ ("^[0-9a-f]+:Call [A-Za-z0-9]+\\." name "\\(") }
    function ret(name) { return $0 ~ ("^[0-9a-f]+:Ret  [A-Za-z0-9]+\\." name "\\(") }
    function arg(i,   a) { a = $0; sub(/^[^(]*\(/, "", a); sub(/\) ret=.*/, "", a);
                           split(a, parts, ","); return parts[i] }
    function retval(   v) { v = $0; sub(/.*retval=/, "", v); sub(/ .*/, "", v); return v }
    call("SetupDiGetClassDevsA") { sets++; if (arg(4) != "00000012") bad = bad " set-flags" }
    ret("SetupDiGetClassDevsA") { set = retval() }
    call("SetupDiEnumDeviceInterfaces") { enums++; if (arg(1) != set) bad = bad " enum-set" }
    call("SetupDiDestroyDeviceInfoList") { destroys++; if (arg(1) != set) bad = bad " destroy-set" }
    # The disposition is passed on the stack, whose slot is 64 bits wide: its upper half is not set.
    call("CreateFileA") { opens++; d = arg(5); d = substr(d, length(d) - 7)
      if (arg(2) != "00000000" || arg(3) != "00000003" || d != "00000003") bad = bad " open-args" }
    ret("CreateFileA") { handle = retval(); if (handle == "ffffffffffffffff") bad = bad " open-failed" }
    call("HidD_GetAttributes") { reads++; if (arg(1) != handle) bad = bad " read-handle" }
    call("CloseHandle") { if (arg(1) == handle) { closes++; handle = "" } }
    call("HidD_GetPreparsedData") || call("CreateMutexExA") { bad = bad " matched" }
    END {
      if (sets != 1 || destroys != 1) bad = bad " sets=" sets "/" destroys
      if (enums != n + 1) bad = bad " enums=" enums
      if (opens != n || reads != n || closes != n)
        bad = bad " opens/reads/closes=" opens "/" reads "/" closes " of " n
      print bad == "" ? "ok" : bad
    }' "$work/calls")
  same "device walk traced: $examined interfaces peeked (access 0), read and closed in the one search" \
    ok "$verdict"
fi

# matches PATTERN FILE: FILE has a line that grep -E PATTERN finds; for "", FILE is empty.
matches() { if [ -z "$1" ]; then [ ! -s "$2" ]; else grep -Eq "$1" "$2"; fi; }
# option NAME STATUS STDOUT-PATTERN STDERR-PATTERN ARG...: the exit status and both outputs, every
# line of standard output ending in CR LF, as new outputs end their lines here.
option() {
  capture "${@:5}"
  [ "$code" -eq "$2" ] && matches "$3" "$work/out" && matches "$4" "$work/err" &&
    [ "$(grep -c $'\r$' "$work/out")" -eq "$(wc -l <"$work/out")" ]
  verdict $? "$1" "$(seen); expected exit status $2, /$3/ and /$4/"
}

option "--help" 0 '^  --device=PATH ' "" --help
option "--version" 0 '^tunezap 1\.[0-9]+\.[0-9]+'$'\r''$' "" --version
option "an unknown option" 2 "" '^tunezap: unknown option "--bogus"' --bogus 1 5 123
option "an option without its value" 2 "" '^tunezap: option "--serial" needs a value' --serial
# Wine's own HID interfaces (vendor 845e) are listed, none marked; no box: exit 1.
option "--list shows wine's interfaces" 1 '^  [^ ]+ 845e:[0-9a-f]{4} ' \
  '^tunezap: no device 6666:f100 among [1-9][0-9]* HID interfaces' --list
! grep -q '^\*' "$work/out" && [ "$(wc -l <"$work/out")" -eq "${examined:-0}" ]
verdict $? "--list: one unmarked line per interface ($examined)" "$(tr '\r\n' '<|' <"$work/out" | head -c 400)"
# A path as --list shows it names that interface for --device, in any letter case; it is not a box.
given=$(head -n 1 "$work/out" | tr -d '\r' | cut -d ' ' -f 3 | tr '[:lower:]' '[:upper:]')
option "--device with a path from --list" 1 "^  [^ ]+ 845e:0001 " \
  "^tunezap: $(printf '%s' "$given" | sed 's/[]\\.[^$*+?(){}|]/\\&/g') is 845e:0001, not 6666:f100\$" \
  --device "$given" --list

exit $status
