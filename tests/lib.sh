# shellcheck shell=bash disable=SC2034,SC2154 # status, runner for the scripts; their $program
# What the test scripts share; each sources it first. One line per check, "ok - NAME" or
# "FAIL - NAME: why"; a script ends with `exit $status`, 1 when a check failed, and `skip WHY`
# exits 77 where this system lacks what the checks need. $work is a directory of the script's
# own, removed at exit with whatever still runs in the background. A leading "--runner CMD" is
# taken off the script's arguments: `run` runs $program under CMD (valgrind, an emulator).
set -u
status=0
work=$(mktemp -d) || exit 2
trap 'kill $(jobs -p) 2>/dev/null || :; rm -rf "$work"' EXIT
runner=()
[ "${1:-}" != --runner ] || { read -r -a runner <<<"$2" && shift 2; }
usage() { echo "usage: $0 $*" >&2; exit 2; }
skip() { echo "SKIPPED: $1"; exit 77; }
ok() { echo "ok - $1"; }
fail() { echo "FAIL - $1${2:+: $2}"; status=1; }
# verdict STATUS NAME WHY: the line of a check whose condition ended with STATUS, and that status.
verdict() { if [ "$1" -eq 0 ]; then ok "$2"; else fail "$2" "$3"; return 1; fi; }
same() { [ "$2" = "$3" ]; verdict $? "$1" "got '$3', expected '$2'"; }  # NAME EXPECTED GOT
# check NAME COMMAND...: passes when the command succeeds; its output is the reason when not.
check() { "${@:2}" >"$work/log" 2>&1; verdict $? "$1" "$(tail -n 40 "$work/log")"; }
# run ARG...: $program under the runner; one that hangs is killed after 30 s and fails its check.
run() { timeout -k 5 30 "${runner[@]}" "$program" "$@"; }
# capture ARG...: run with nothing on standard input; its exit status in $code, its outputs in
# $work/out and $work/err, and `seen` says what they were.
capture() { run "$@" >"$work/out" 2>"$work/err" </dev/null; code=$?; }
seen() { echo "exit status $code; standard output: $(od -An -c "$work/out" | tr -s ' ' |
  head -c 300); standard error: $(head -c 300 "$work/err")"; }
