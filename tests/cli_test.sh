#!/usr/bin/env bash
# Runs the built program as a user would and compares its standard output byte for byte, its exit
# status and its error line. The same expectations hold for every build of the program:
#   tests/cli_test.sh [--runner "wine"] [--portable-only] PROGRAM
# --portable-only leaves out the cases whose argument text cannot be passed unchanged through a
# Windows command line (arguments that are empty or hold blanks). No matching HID device may be
# present where this runs.
set -u

runner=()
portable_only=0
while [ $# -gt 1 ]; do
  case "$1" in
    --runner) read -r -a runner <<<"$2"; shift 2 ;;
    --portable-only) portable_only=1; shift ;;
    *) break ;;
  esac
done
[ $# -eq 1 ] || { echo "usage: $0 [--runner CMD] [--portable-only] PROGRAM" >&2; exit 2; }
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# shellcheck source=tests/tally.sh
. "$(dirname "$0")/tally.sh"

banner='Console Application Example In Visual Basic.\r\n'
echo_line() { printf '%s' "$banner"; printf '\\r\\nCommand Line Parameters: %s\\r\\n' "$1"; }
digit_line() { printf '\\r\\n1:%s 2:%s 3:%s\\r\\n' "$1" "$2" "$2"; }

run() { bounded "${runner[@]}" "$program" "$@"; }

# check NAME STATUS STDOUT(printf %b) STDERR-PATTERN(grep -E, "" = empty) -- ARG...
check() {
  local name=$1 status=$2 stdout=$3 stderr=$4
  shift 5
  printf '%b' "$stdout" >"$work/expected"
  run "$@" >"$work/out" 2>"$work/err" </dev/null
  local got=$?
  if [ "$got" -ne "$status" ]; then
    fail "$name" "exit status $got, expected $status"
  elif ! cmp -s "$work/expected" "$work/out"; then
    fail "$name" "standard output differs: $(od -An -c "$work/out" | tr -s ' ' | head -c 300)"
  elif [ -z "$stderr" ] && [ -s "$work/err" ]; then
    fail "$name" "unexpected standard error: $(head -c 300 "$work/err")"
  elif [ -n "$stderr" ] && ! grep -Eq "$stderr" "$work/err"; then
    fail "$name" "standard error does not match /$stderr/: $(head -c 300 "$work/err")"
  elif [ -n "$stderr" ] && grep -qv '^tunezap: ' "$work/err"; then
    fail "$name" "an error line does not start with 'tunezap: ': $(head -c 300 "$work/err")"
  else
    pass "$name"
  fi
}

usage_err='^tunezap: usage: tunezap <box 0/1> <value 0-255> <channel>'
absent='^tunezap: channel 123 not changed: report 1 of 3 not delivered \(no device 6666:f100 among [0-9]+ HID interfaces\); reports 2, 3 not sent'

check "no arguments: banner and syntax line" 2 \
  "${banner}\r\nSyntax: tunezap.exe <box 0/1> <channel> \r\n" "" --
check "three fields, no device: echo, three lines, exit 1" 1 \
  "$(echo_line '1 5 123')$(digit_line 49 1)$(digit_line 49 2)$(digit_line 49 3)" "$absent" -- 1 5 123
check "box 0 and leading zeros are sent" 1 \
  "$(echo_line '0 9 7')$(digit_line 48 0)$(digit_line 48 0)$(digit_line 48 7)" \
  'no device 6666:f100' -- 0 9 7
check "channel above 999" 1 \
  "$(echo_line '0 5 1234')$(digit_line 48 12)$(digit_line 48 3)$(digit_line 48 4)" \
  'no device 6666:f100' -- 0 5 1234
check "the two fields of the usage line: argument error after the echo" 2 \
  "$(echo_line '0 101')" '^tunezap: argument error: field 3 is missing' -- 0 101
check "usage line on an error" 2 "$(echo_line '0 101')" "$usage_err" -- 0 101
check "negative channel: nothing sent, overflow" 2 "$(echo_line '0 5 -5')" \
  '^tunezap: overflow: channel -5 has a units position of -5' -- 0 5 -5
check "channel 25600: overflow before any line" 2 "$(echo_line '0 5 25600')" \
  '^tunezap: overflow: channel 25600 has a hundreds position of 256' -- 0 5 25600
check "box 256" 2 "$(echo_line '256 5 7')" '^tunezap: overflow: field 1 "256" is outside 0..255' \
  -- 256 5 7
check "not a number" 2 "$(echo_line 'x 5 7')" '^tunezap: conversion error: field 1 "x"' -- x 5 7
check "hexadecimal is not a number" 2 "$(echo_line '0 0x10 7')" \
  '^tunezap: conversion error: field 2 "0x10"' -- 0 0x10 7
check "a fourth field" 2 "$(echo_line '0 5 123 9')" \
  '^tunezap: conversion error: field 3 "123 9"' -- 0 5 123 9
check "rounding halves to even" 1 \
  "$(echo_line '0.5 2.5 122.5')$(digit_line 48 1)$(digit_line 48 2)$(digit_line 48 2)" \
  'no device' -- 0.5 2.5 122.5
check "a huge number is an overflow" 2 "$(echo_line '0 5 99999999999999999999999')" \
  '^tunezap: overflow: field 3' -- 0 5 99999999999999999999999
# Leading options leave standard output as it is without them; a bad one leaves it empty.
check "an option before the fields: the same echo and lines" 1 \
  "$(echo_line '1 5 123')$(digit_line 49 1)$(digit_line 49 2)$(digit_line 49 3)" \
  '^tunezap: channel 123 not changed: .*no device 6666:f100 with serial BOX-B among' \
  -- --serial=BOX-B 1 5 123
check "-- ends the options" 2 "$(echo_line '--5 1 2')" '^tunezap: conversion error: field 1' \
  -- -- --5 1 2
check "an unknown option: nothing on standard output" 2 "" \
  '^tunezap: unknown option "--serial-number"' -- --serial-number=BOX-B 1 5 123

if [ "$portable_only" -eq 0 ]; then
  check "two blanks after field 1: field 2 empty" 2 "$(echo_line '0  5 123')" \
    '^tunezap: conversion error: field 2 is empty' -- 0 '' 5 123
  check "a trailing blank is ignored" 1 \
    "$(echo_line '0 5 123 ')$(digit_line 48 1)$(digit_line 48 2)$(digit_line 48 3)" \
    'no device' -- 0 5 '123 '
  check "control characters are not echoed raw on standard error" 2 \
    "$(echo_line $'0 \e[2J 7')" '^tunezap: conversion error: field 2 "\\x1B\[2J"' -- 0 $'\e[2J' 7

  # Standard output as a file, as a pipe, closed, and a pipe closed early: the same bytes where
  # they arrive, and the same exit status in every case.
  run 1 5 123 >"$work/file" 2>/dev/null
  file_status=$?
  run 1 5 123 2>/dev/null | cat >"$work/pipe"
  pipe_status=${PIPESTATUS[0]}
  if cmp -s "$work/file" "$work/pipe" && [ "$file_status" -eq "$pipe_status" ]; then
    pass "a file and a pipe receive the same bytes"
  else
    fail "a file and a pipe receive the same bytes" "status $file_status/$pipe_status"
  fi
  for args in "" "1 5 123"; do
    expected=1
    [ -z "$args" ] && expected=2
    # shellcheck disable=SC2086
    run $args >&- 2>/dev/null
    s=$?
    [ "$s" -eq "$expected" ] && pass "closed standard output, '$args': exit $expected" ||
      fail "closed standard output, '$args'" "exit $s, expected $expected"
    # shellcheck disable=SC2086
    (run $args 2>/dev/null; echo $? >"$work/status") | head -c 0
    s=$(cat "$work/status")
    [ "$s" -eq "$expected" ] && pass "pipe closed early, '$args': exit $expected" ||
      fail "pipe closed early, '$args'" "exit $s, expected $expected"
  done

  # Bash completion, called as bash calls it: the function `complete` registered, given the words
  # as bash splits them (at '=' too); a path begun after --device is completed like /dev/hidraw.
  # TUNEZAP_COMPLETION: the installed file, else the source's.
  completion=${TUNEZAP_COMPLETION:-$(dirname "$0")/../packaging/tunezap.bash-completion}
  while IFS='|' read -r words expected; do
    got=$(eval "set -- $words" && bash -c '. "$1" && shift && COMP_WORDS=(tunezap "$@")
      COMP_CWORD=$# && $(complete -p tunezap | sed "s/.*-F \([^ ]*\).*/\1/") &&
      echo "${COMPREPLY[*]}"' _ "$completion" "$@")
    [ "$got" = "$expected" ] && pass "completion of: tunezap $words" ||
      fail "completion of: tunezap $words" "offered '$got', expected '$expected'"
  done <<EOF
--|--serial= --device= --wait= --gap= --syslog --list --help --version
--serial = BOX-B --d|--device=
--device = $work/pi|$work/pipe
--device $work/pi|$work/pipe
--wait ''|
1 5 --|
-- --|
EOF
fi

finish
