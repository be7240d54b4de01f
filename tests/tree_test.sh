#!/usr/bin/env bash
# The whole program on the Linux layer, against a device tree made here: sysfs entries with real
# identities and report descriptors, and device nodes whose received bytes can be read back.
#   tests/tree_test.sh [--runner CMD] TREE_TUNEZAP
# --runner runs every program under CMD (for example valgrind).
set -u
runner=()
if [ "${1:-}" = --runner ]; then
  read -r -a runner <<<"$2"
  shift 2
fi
[ $# -eq 1 ] || { echo "usage: $0 [--runner CMD] TREE_TUNEZAP" >&2; exit 2; }
program_path=$1
program() { bounded "${runner[@]}" "$program_path" "$@"; }
program=program
work=$(mktemp -d)
trap 'exec 3>&- 2>/dev/null; kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT

# shellcheck source=tests/tally.sh
. "$(dirname "$0")/tally.sh"

# A vendor-defined device whose one output report carries COUNT bytes.
descriptor() { printf '\x06\x00\xff\x09\x01\xa1\x01\x15\x00\x26\xff\x00\x75\x08\x95'"$1"'\x09\x01\x91\x02\xc0'; }

# add_interface TREE N VENDOR PRODUCT COUNT-ESCAPE: hidrawN with HID_ID 0003:VENDOR:PRODUCT.
add_interface() {
  local tree=$1 n=$2
  mkdir -p "$tree/sys/class/hidraw/hidraw$n/device" "$tree/dev"
  printf 'DRIVER=hid-generic\nHID_ID=0003:0000%s:0000%s\nHID_NAME=test %s\n' "$3" "$4" "$n" \
    >"$tree/sys/class/hidraw/hidraw$n/device/uevent"
  descriptor "$5" >"$tree/sys/class/hidraw/hidraw$n/device/report_descriptor"
  : >"$tree/dev/hidraw$n"
}

report() {  # BOX VALUE DIGIT LENGTH -> the report as hex
  local hex
  hex=$(printf '00%02x%02x%02x7a7a7a7a7a' "$1" "$2" "$3")
  while [ ${#hex} -lt $(($4 * 2)) ]; do hex+=00; done
  printf '%s' "$hex"
}
hexof() { od -An -v -tx1 "$1" | tr -d ' \n'; }

crlf_lines() {  # the standard output of a run of "1 5 123"
  printf 'Console Application Example In Visual Basic.\r\n\r\nCommand Line Parameters: 1 5 123\r\n'
  printf '\r\n1:49 2:1 3:1\r\n\r\n1:49 2:2 3:2\r\n\r\n1:49 2:3 3:3\r\n'
}

# --- The first matching interface in hidraw order receives the three reports, nothing else does.
tree=$work/several
add_interface "$tree" 0 046D C31C '\x08'
add_interface "$tree" 2 6666 F101 '\x08'
add_interface "$tree" 10 6666 F100 '\x40'
add_interface "$tree" 9 6666 F100 '\x08'
"$program" "$tree/sys" "$tree/dev" 1 5 123 >"$work/out" 2>"$work/err"
status=$?
expected=$(report 0x31 5 1 9)$(report 0x31 5 2 9)$(report 0x31 5 3 9)
if [ $status -ne 0 ]; then
  fail "first match in hidraw order" "exit $status: $(cat "$work/err")"
elif [ "$(hexof "$tree/dev/hidraw9")" != "$expected" ]; then
  fail "first match in hidraw order" "hidraw9 got $(hexof "$tree/dev/hidraw9")"
elif [ -s "$tree/dev/hidraw0" ] || [ -s "$tree/dev/hidraw2" ] || [ -s "$tree/dev/hidraw10" ]; then
  fail "first match in hidraw order" "another interface received bytes"
elif ! cmp -s "$work/out" <(crlf_lines); then
  fail "first match in hidraw order" "standard output differs"
else
  pass "first match in hidraw order gets exactly the three reports"
fi

# --- A 64-byte output report: each report zero-extended to 65 bytes.
tree=$work/wide
add_interface "$tree" 0 6666 F100 '\x40'
"$program" "$tree/sys" "$tree/dev" 0 9 7 >/dev/null 2>"$work/err"
status=$?
expected=$(report 0x30 9 0 65)$(report 0x30 9 0 65)$(report 0x30 9 7 65)
[ $status -eq 0 ] && [ "$(hexof "$tree/dev/hidraw0")" = "$expected" ] &&
  pass "reports zero-extended to 65 bytes" ||
  fail "reports zero-extended to 65 bytes" "exit $status, got $(hexof "$tree/dev/hidraw0")"

# --- Too short an output report: nothing written, exit 1, the length named.
tree=$work/short
add_interface "$tree" 0 6666 F100 '\x07'
"$program" "$tree/sys" "$tree/dev" 1 5 123 >/dev/null 2>"$work/err"
status=$?
[ $status -eq 1 ] && [ ! -s "$tree/dev/hidraw0" ] &&
  grep -q 'output report length of 8 bytes; at least 9 are needed' "$work/err" &&
  pass "an 8-byte report is refused" ||
  fail "an 8-byte report is refused" "exit $status: $(cat "$work/err")"

# --- No matching interface: exit 1, and the error counts what was examined.
tree=$work/absent
add_interface "$tree" 0 6666 F101 '\x08'
add_interface "$tree" 1 046D C31C '\x08'
"$program" "$tree/sys" "$tree/dev" 1 5 123 >/dev/null 2>"$work/err"
status=$?
[ $status -eq 1 ] && grep -qxF 'tunezap: channel 123 not changed: report 1 of 3 not delivered (no device 6666:f100 among 2 HID interfaces); reports 2, 3 not sent' "$work/err" &&
  pass "no matching interface" || fail "no matching interface" "exit $status: $(cat "$work/err")"

# --- The lock: a run waits for the holder of the device, then sends.
tree=$work/locked
add_interface "$tree" 0 6666 F100 '\x08'
flock "$tree/dev/hidraw0" sleep 1 &
sleep 0.2
start=$(date +%s%N)
"$program" "$tree/sys" "$tree/dev" 1 5 123 >/dev/null 2>"$work/err"
status=$?
waited=$((($(date +%s%N) - start) / 1000000))
[ $status -eq 0 ] && [ $waited -ge 500 ] && [ "$(stat -c %s "$tree/dev/hidraw0")" -eq 27 ] &&
  pass "a run waits for the lock holder (${waited} ms)" ||
  fail "a run waits for the lock holder" "exit $status after ${waited} ms: $(cat "$work/err")"
wait

# --- Concurrent runs never interleave: 20 pairs, each run's three reports stay together. The
# node is a FIFO so that every write is appended whole, in the order the writes happened.
tree=$work/concurrent
add_interface "$tree" 0 6666 F100 '\x08'
rm "$tree/dev/hidraw0"
mkfifo "$tree/dev/hidraw0"
exec 3<>"$tree/dev/hidraw0"  # a writer that outlives the runs, so the reader sees no early end
cat "$tree/dev/hidraw0" >"$work/captured" 3>&- &
reader=$!
for _ in $(seq 1 20); do
  "$program" "$tree/sys" "$tree/dev" 0 1 123 >/dev/null 2>>"$work/err-concurrent" &
  first=$!
  "$program" "$tree/sys" "$tree/dev" 1 2 456 >/dev/null 2>>"$work/err-concurrent" &
  wait $first $!
done
exec 3>&-
wait $reader
runs=$(hexof "$work/captured" | fold -w 54)
bad=$(printf '%s\n' "$runs" | grep -cvxE "$(report 0x30 1 1 9)$(report 0x30 1 2 9)$(report 0x30 1 3 9)|$(report 0x31 2 4 9)$(report 0x31 2 5 9)$(report 0x31 2 6 9)")
count=$(printf '%s\n' "$runs" | grep -c .)
[ "$count" -eq 40 ] && [ "$bad" -eq 0 ] && pass "20 concurrent pairs, no interleaved report" ||
  fail "20 concurrent pairs, no interleaved report" "$count runs, $bad interleaved: $(head -c 300 "$work/err-concurrent" 2>/dev/null)"

# --- A 5 s wait for a box that never comes, on an empty tree, costs under 10 ms of processor time
# (user and system) more than a wait of 1 ms: no busy loop. Not under a runner, which costs more.
mkdir -p "$work/empty/sys/class/hidraw" "$work/empty/dev"
TIMEFORMAT='%3U %3S'
for seconds in 0.001 5; do  # $spent: the first run's time, then the second's less the first's
  read -r user system < <({ time "$program_path" "$work/empty/sys" "$work/empty/dev" \
    --wait=$seconds 1 5 123 >/dev/null 2>&1; } 2>&1)
  spent=$((10#${user/./} + 10#${system/./} - ${spent:-0}))
done
[ ${#runner[@]} -gt 0 ] || { [ "$spent" -lt 10 ] && pass "a 5 s wait costs $spent ms more" ||
  fail "a 5 s wait costs under 10 ms more" "$spent ms"; }

finish
