#!/usr/bin/env bash
# The console cases that tests/data/console.cases cannot hold, run as a user would: arguments that
# are empty or end in a blank or hold control characters, standard output closed or a pipe closed
# early, and the bash completion.
#   tests/cli_test.sh [--runner "CMD"] PROGRAM
# No matching HID device may be present where this runs.
set -u
runner=()
if [ "${1:-}" = --runner ]; then
  read -r -a runner <<<"$2"
  shift 2
fi
[ $# -eq 1 ] || { echo "usage: $0 [--runner CMD] PROGRAM" >&2; exit 2; }
program=$1
stdout=$(dirname "$0")/data/stdout
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
pass() { echo "ok - $1"; }
fail() { echo "FAIL - $1${2:+: $2}"; status=1; }
run() { timeout -k 5 30 "${runner[@]}" "$program" "$@"; }

# check NAME STATUS STDOUT-ID STDERR-TEXT -- ARG...: the exit status, standard output byte for byte
# as data/stdout/ID.out, and the text among the error lines, each of which begins "tunezap: ".
check() {
  local name=$1 expected=$2 id=$3 text=$4
  shift 5
  run "$@" >"$work/out" 2>"$work/err" </dev/null
  local got=$?
  if [ "$got" -ne "$expected" ]; then
    fail "$name" "exit status $got, expected $expected"
  elif ! cmp -s "$stdout/$id.out" "$work/out"; then
    fail "$name" "standard output differs: $(od -An -c "$work/out" | tr -s ' ' | head -c 300)"
  elif ! grep -qF -- "$text" "$work/err" || grep -qv '^tunezap: ' "$work/err"; then
    fail "$name" "standard error: $(head -c 300 "$work/err")"
  else
    pass "$name"
  fi
}
check "two blanks after field 1: field 2 empty" 2 field_2_empty \
  'tunezap: conversion error: field 2 is empty' -- 0 '' 5 123
check "a trailing blank is ignored" 1 trailing_blank 'no device' -- 0 5 '123 '
check "control characters are not echoed raw on standard error" 2 control_characters \
  'tunezap: conversion error: field 2 "\x1B[2J"' -- 0 $'\e[2J' 7

# Standard output as a file, as a pipe, closed, and a pipe closed early: the same bytes where they
# arrive, and the same exit status in every case.
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

# Bash completion, called as bash calls it: the function `complete` registered, given the words as
# bash splits them (at '=' too); a path begun after --device is completed like /dev/hidraw.
# TUNEZAP_COMPLETION: the installed file, else the source's.
completion=${TUNEZAP_COMPLETION:-$(dirname "$0")/../packaging/tunezap.bash-completion}
while IFS='|' read -r words expected; do
  got=$(eval "set -- $words" && bash -c '. "$1" && shift && COMP_WORDS=(tunezap "$@")
    COMP_CWORD=$# && $(complete -p tunezap | sed "s/.*-F \([^ ]*\).*/\1/") &&
    echo "${COMPREPLY[*]}"' _ "$completion" "$@")
  [ "$got" = "$expected" ] && pass "completion of: tunezap $words" ||
    fail "completion of: tunezap $words" "offered '$got', expected '$expected'"
done <<EOF
--|--serial= --device= --wait= --gap= --syslog --list --json --help --version
--serial = BOX-B --d|--device=
--device = $work/pi|$work/pipe
--device $work/pi|$work/pipe
--wait ''|
1 5 --|
-- --|
EOF
exit $status
