#!/usr/bin/env bash
# The console cases that tests/data/console.cases cannot hold, run as a user would: arguments that
# are empty or end in a blank or hold control characters, standard output closed or a pipe closed
# early, and the bash completion.
#   tests/cli_test.sh [--runner "CMD"] PROGRAM
# No matching HID device may be present where this runs.
# shellcheck source=tests/lib.sh
. "$(dirname "$0")/lib.sh"
[ $# -eq 1 ] || usage "[--runner CMD] PROGRAM"
program=$1
stdout=$(dirname "$0")/data/stdout

# console NAME STATUS STDOUT-ID STDERR-TEXT ARG...: the exit status, standard output byte for byte
# as data/stdout/ID.out, and the text among the error lines, each of which begins "tunezap: ".
console() {
  capture "${@:5}"
  [ "$code" -eq "$2" ] && cmp -s "$stdout/$3.out" "$work/out" && grep -qF -- "$4" "$work/err" &&
    ! grep -qv '^tunezap: ' "$work/err"
  verdict $? "$1" "$(seen); expected exit status $2 and stdout/$3.out"
}
console "two blanks after field 1: field 2 empty" 2 field_2_empty \
  'tunezap: conversion error: field 2 is empty' 0 '' 5 123
console "a trailing blank is ignored" 1 trailing_blank 'no device' 0 5 '123 '
console "control characters are not echoed raw on standard error" 2 control_characters \
  'tunezap: conversion error: field 2 "\x1B[2J"' 0 $'\e[2J' 7

# Standard output as a file, as a pipe, closed, and a pipe closed early: the same bytes where they
# arrive, and the same exit status in every case.
run 1 5 123 >"$work/file" 2>/dev/null
file_status=$?
run 1 5 123 2>/dev/null | cat >"$work/pipe"
pipe_status=${PIPESTATUS[0]}
cmp -s "$work/file" "$work/pipe" && [ "$file_status" -eq "$pipe_status" ]
verdict $? "a file and a pipe receive the same bytes" "status $file_status/$pipe_status"
for args in "" "1 5 123"; do
  expected=$((${#args} > 0 ? 1 : 2))
  # shellcheck disable=SC2086
  run $args >&- 2>/dev/null
  same "closed standard output, '$args': exit $expected" $expected $?
  # shellcheck disable=SC2086
  (run $args 2>/dev/null; echo $? >"$work/status") | head -c 0
  same "pipe closed early, '$args': exit $expected" $expected "$(cat "$work/status")"
done

# Bash completion, called as bash calls it: the function `complete` registered, given the words as
# bash splits them (at '=' too); a path begun after --device is completed like /dev/hidraw.
# TUNEZAP_COMPLETION: the installed file, else the source's.
completion=${TUNEZAP_COMPLETION:-$(dirname "$0")/../packaging/tunezap.bash-completion}
while IFS='|' read -r words expected; do
  got=$(eval "set -- $words" && bash -c '. "$1" && shift && COMP_WORDS=(tunezap "$@")
    COMP_CWORD=$# && $(complete -p tunezap | sed "s/.*-F \([^ ]*\).*/\1/") &&
    echo "${COMPREPLY[*]}"' _ "$completion" "$@")
  same "completion of: tunezap $words" "$expected" "$got"
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
