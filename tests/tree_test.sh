#!/usr/bin/env bash
# The whole program on the Linux layer, against a device tree made here: sysfs entries with real
# identities and report descriptors, and device nodes whose received bytes can be read back.
#   tests/tree_test.sh [--runner CMD] TREE_TUNEZAP
# --runner runs every program under CMD (for example valgrind). One line for each check, "ok - NAME"
# or "FAIL - NAME: why"; exit status 1 when any failed.
# shellcheck source=tests/lib.sh
. "$(dirname "$0")/lib.sh"
[ $# -eq 1 ] || usage "[--runner CMD] TREE_TUNEZAP"
program=$1
data=$(dirname "$0")/data
# on ARGUMENT...: the program on the device tree $tree.
on() { capture "$tree/sys" "$tree/dev" "$@"; }

# make_tree NAME N:VENDOR:PRODUCT:COUNT...: the device tree $work/NAME, from then on $tree, with
# an interface hidrawN for each, HID_ID 0003:VENDOR:PRODUCT, a vendor-defined device whose one
# output report carries COUNT (hex) bytes.
make_tree() {
  local interface n vendor product count device
  tree=$work/$1
  for interface in "${@:2}"; do
    IFS=: read -r n vendor product count <<<"$interface"
    device=$tree/sys/class/hidraw/hidraw$n/device
    mkdir -p "$device" "$tree/dev"
    printf 'DRIVER=hid-generic\nHID_ID=0003:0000%s:0000%s\nHID_NAME=test %s\n' "$vendor" "$product" \
      "$n" >"$device/uevent"
    printf '\x06\x00\xff\x09\x01\xa1\x01\x15\x00\x26\xff\x00\x75\x08\x95%b\x09\x01\x91\x02\xc0' "\\x$count" \
      >"$device/report_descriptor"
    : >"$tree/dev/hidraw$n"
  done
}

# reports "BOX VALUE CHANNEL" LENGTH: the reports of that run as hex, each zero-extended to LENGTH.
# shellcheck disable=SC2046 # a word for each report
reports() { printf "%-$(($2 * 2))s" $(sed -n "s/^$1: //p" "$data/reports.txt") | tr ' ' 0; }
hexof() { od -An -v -tx1 "$@" | tr -d ' \n'; }

# --- The first matching interface in hidraw order receives the three reports, nothing else does.
make_tree several 0:046D:C31C:08 2:6666:F101:08 10:6666:F100:40 9:6666:F100:08
on 1 5 123
[ $code -eq 0 ] && [ "$(hexof "$tree/dev/hidraw9")" = "$(reports '1 5 123' 9)" ] &&
  [ -z "$(hexof "$tree"/dev/hidraw{0,2,10})" ] && cmp -s "$work/out" "$data/stdout/1_5_123.out"
verdict $? "first match in hidraw order gets exactly the three reports" "exit $code, hidraw9 got \
$(hexof "$tree/dev/hidraw9"), the others '$(hexof "$tree"/dev/hidraw{0,2,10})': $(cat "$work/err")"

# --- A 64-byte output report: each report zero-extended to 65 bytes.
make_tree wide 0:6666:F100:40
on 0 9 7
[ $code -eq 0 ] && [ "$(hexof "$tree/dev/hidraw0")" = "$(reports '0 9 7' 65)" ]
verdict $? "reports zero-extended to 65 bytes" "exit $code, got $(hexof "$tree/dev/hidraw0")"

# --- Too short an output report: nothing written, exit 1, the length named.
make_tree short 0:6666:F100:07
on 1 5 123
[ $code -eq 1 ] && [ ! -s "$tree/dev/hidraw0" ] &&
  grep -q 'output report length of 8 bytes; at least 9 are needed' "$work/err"
verdict $? "an 8-byte report is refused" "exit $code: $(cat "$work/err")"

# --- No matching interface: exit 1, and the error counts what was examined.
make_tree absent 0:6666:F101:08 1:046D:C31C:08
on 1 5 123
[ $code -eq 1 ] && grep -qxF 'tunezap: channel 123 not changed: report 1 of 3 not delivered (no device 6666:f100 among 2 HID interfaces); reports 2, 3 not sent' "$work/err"
verdict $? "no matching interface" "exit $code: $(cat "$work/err")"

# --- The lock: a run waits for the holder of the device, then sends.
make_tree locked 0:6666:F100:08
flock "$tree/dev/hidraw0" sleep 1 &
sleep 0.2
start=$(date +%s%N)
on 1 5 123
waited=$((($(date +%s%N) - start) / 1000000))
[ $code -eq 0 ] && [ $waited -ge 500 ] && [ "$(hexof "$tree/dev/hidraw0")" = "$(reports '1 5 123' 9)" ]
verdict $? "a run waits for the lock holder (${waited} ms)" "exit $code: $(cat "$work/err")"

# --- Concurrent runs never interleave: 20 pairs, each run's three reports stay together. The
# node is a FIFO so that every write is appended whole, in the order the writes happened.
make_tree concurrent 0:6666:F100:08
rm "$tree/dev/hidraw0" && mkfifo "$tree/dev/hidraw0"
exec 3<>"$tree/dev/hidraw0"  # a writer that outlives the runs, so the reader sees no early end
cat "$tree/dev/hidraw0" >"$work/captured" 3>&- &
for _ in $(seq 1 20); do
  run "$tree/sys" "$tree/dev" 0 1 123 >/dev/null 2>>"$work/err" &
  run "$tree/sys" "$tree/dev" 1 2 456 >/dev/null 2>>"$work/err"
  wait $!
done
exec 3>&-
wait  # for the reader, which ends with its last writer
bad=$(hexof "$work/captured" | fold -w 54 | grep -cvxE "$(reports '0 1 123' 9)|$(reports '1 2 456' 9)")
bytes=$(stat -c %s "$work/captured")
[ "$bytes" -eq $((40 * 27)) ] && [ "$bad" -eq 0 ]  # 40 runs of 27 bytes
verdict $? "20 concurrent pairs, no interleaved report" \
  "$bytes bytes, $bad runs interleaved: $(head -c 300 "$work/err")"

# --- A 5 s wait for a box that never comes, on an empty tree, costs under 10 ms of processor time
# (user and system) more than a wait of 1 ms: no busy loop. Not under a runner, nor built with the
# sanitizers, whose start-up alone varies by more than the bound from run to run (50 to 70 ms).
# The kernel counts processor time in ticks, and on a busy machine one tick more can fall on
# either run: a second pair decides before the check fails.
if [ ${#runner[@]} -eq 0 ] && ! grep -q __asan_init "$program"; then
  mkdir -p "$work/empty/sys/class/hidraw" "$work/empty/dev"
  TIMEFORMAT='%3U %3S'
  for _ in 1 2; do
    spent=""
    for seconds in 0.001 5; do  # $spent: the first run's time, then the second's less the first's
      read -r user system < <({ time "$program" "$work/empty/sys" "$work/empty/dev" \
        --wait=$seconds 1 5 123 >/dev/null 2>&1; } 2>&1)
      spent=$((10#${user/./} + 10#${system/./} - ${spent:-0}))
    done
    [ "$spent" -ge 10 ] || break
  done
  verdict $((spent >= 10)) "a 5 s wait costs under 10 ms more" "$spent ms"
fi

exit $status
