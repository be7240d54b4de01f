# The end-to-end scenarios, run by the test guest's /init as root under busybox sh:
#   sh scenarios.sh NAME...
# Each scenario plugs in emulated devices, runs tunezap as a user would, and checks byte for byte
# what every device received, standard output, standard error and the exit status. Prints one
# line per scenario: "E2E ok NAME" or "E2E FAIL NAME: why".

TUNEZAP=/usr/bin/tunezap
# What the Linux build says that a build for another system says otherwise (see the Windows group).
node0=/dev/hidraw0  # the first device's path
gone="No such device"  # the system's error text for a write to an unplugged device
own_interfaces=0  # HID interfaces the system shows besides the emulated ones
pairs=20  # rounds of concurrent runs
EMULATOR=/e2e/hid_emulator
RUN_AS=/e2e/run_as
work=/tmp/e2e
mkdir -p "$work"

problems=""  # why the current scenario fails; empty while it passes
emulator=""  # process id of the running device emulator
problem() { problems="$problems${problems:+; }$*"; }
# A file's text on one line, for a FAIL line.
flat() { tr '\r\n' '<|' <"$1" | head -c 600; }

# plug DEVICE...: plugs in devices VID:PID:LENGTH[:vanish] in this order (hidraw0, hidraw1, ...).
plug() {
  : >"$work/emulator.out"
  "$EMULATOR" --out "$work/received" "$@" >"$work/emulator.out" 2>"$work/emulator.err" &
  emulator=$!
  waited=0
  until grep -qx ready "$work/emulator.out"; do
    if ! kill -0 "$emulator" 2>/dev/null || [ "$waited" -ge 1000 ]; then
      problem "devices not plugged in: $(flat "$work/emulator.err")"
      return 1
    fi
    usleep 10000
    waited=$((waited + 1))
  done
  windows_start
}

# Unplugs every device once the emulator has recorded all it was sent, and waits until the
# kernel has let go of their hidraw numbers, so that the next scenario starts from hidraw0.
unplug() {
  [ -n "$emulator" ] || return 0
  kill -TERM "$emulator"
  wait "$emulator" || problem "emulator exit status $?: $(flat "$work/emulator.err")"
  emulator=""
  [ -s "$work/emulator.err" ] && problem "emulator: $(flat "$work/emulator.err")"
  waited=0
  while [ -n "$(ls /sys/class/hidraw)" ]; do
    [ "$waited" -ge 500 ] && { problem "hidraw nodes left: $(ls /sys/class/hidraw)"; break; }
    usleep 10000
    waited=$((waited + 1))
  done
}

# run [as UID GIDS] BOX VALUE CHANNEL: runs tunezap; its output goes to $work/out and
# $work/err, its exit status to $status.
run() {
  if [ "$1" = as ]; then
    set -- "$RUN_AS" "$2" "$3" "$TUNEZAP" "$4" "$5" "$6"
  else
    set -- "$TUNEZAP" "$@"
  fi
  timeout 30 "$@" >"$work/out" 2>"$work/err" </dev/null
  status=$?
}

# stdout_of BOX VALUE CHANNEL [LINES]: the bytes tunezap writes to standard output for a channel
# below 1000 when it gets as far as the line of digit LINES (default 3).
stdout_of() {
  code=49
  [ "$1" -eq 0 ] && code=48
  printf 'Console Application Example In Visual Basic.\r\n'
  printf '\r\nCommand Line Parameters: %s %s %s\r\n' "$1" "$2" "$3"
  for digit in $(($3 / 100)) $(($3 / 10 % 10)) $(($3 % 10)); do
    printf '\r\n1:%s 2:%s 3:%s\r\n' "$code" "$digit" "$digit"
  done | head -n "$((${4:-3} * 2))"
}

# report BOX VALUE DIGIT LENGTH: one output report as the emulator records it, in hex.
report() {
  code=31
  [ "$1" -eq 0 ] && code=30
  printf '00%s%02x%02x7a7a7a7a7a' "$code" "$2" "$3"
  zeros=$(($4 - 9))
  while [ "$zeros" -gt 0 ]; do
    printf 00
    zeros=$((zeros - 1))
  done
}

# reports DEVICE BOX VALUE CHANNEL LENGTH: the three records of one complete run.
reports() {
  for digit in $(($4 / 100)) $(($4 / 10 % 10)) $(($4 % 10)); do
    echo "$1 output $(report "$2" "$3" "$digit" "$5")"
  done
}

expect_status() {
  [ "$status" -eq "$1" ] || problem "exit status $status, expected $1"
}

expect_stdout() {  # BOX VALUE CHANNEL [LINES]
  stdout_of "$@" >"$work/expected.out"
  cmp -s "$work/expected.out" "$work/out" || problem "standard output: $(flat "$work/out")"
}

expect_no_stderr() {
  [ -s "$work/err" ] && problem "standard error: $(flat "$work/err")"
}

# expect_stderr TEXT...: one line starting "tunezap: " and holding every TEXT.
expect_stderr() {
  [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q '^tunezap: ' "$work/err" ||
    problem "not one 'tunezap: ' line on standard error: $(flat "$work/err")"
  for text in "$@"; do
    grep -qF -- "$text" "$work/err" || problem "standard error lacks '$text': $(flat "$work/err")"
  done
}

# expect_received LINES: exactly what the devices must have received, in order, one record a line.
# (An argument, not a pipe: a check run in a pipeline's subshell could not record a problem.)
expect_received() {
  if [ -n "$1" ]; then printf '%s\n' "$1"; fi >"$work/expected.received"
  cmp -s "$work/expected.received" "$work/received" ||
    problem "devices received: $(flat "$work/received") expected: $(flat "$work/expected.received")"
}

scenario_length_9() {
  plug 6666:f100:8 || return
  run 1 5 123
  unplug
  expect_status 0
  expect_stdout 1 5 123
  expect_no_stderr
  expect_received "$(reports 0 1 5 123 9)"
}

scenario_length_65() {
  plug 6666:f100:64 || return
  run 0 200 907
  unplug
  expect_status 0
  expect_stdout 0 200 907
  expect_no_stderr
  expect_received "$(reports 0 0 200 907 65)"
}

# The same vendor with another product, another vendor with the same product, then two boxes:
# only the first box in hidraw order (hidraw2) is written to.
scenario_first_of_several() {
  plug 6666:f101:8 1234:f100:8 6666:f100:8 6666:f100:64 || return
  run 1 7 456
  unplug
  expect_status 0
  expect_stdout 1 7 456
  expect_no_stderr
  expect_received "$(reports 2 1 7 456 9)"
}

scenario_no_device() {
  plug 6666:f101:8 1234:f100:64 || return
  run 1 5 123
  unplug
  expect_status 1
  expect_stdout 1 5 123
  expect_stderr "reports 1, 2, 3 of 3 not sent" \
    "no device 6666:f100 among $((2 + own_interfaces)) HID interfaces"
  expect_received ""
}

# A device that cannot take the report ends the run at its first digit.
scenario_report_too_short() {
  plug 6666:f100:4 || return
  run 1 5 123
  unplug
  expect_status 1
  expect_stdout 1 5 123 1
  expect_stderr "reports 1, 2, 3 of 3 not sent" "$node0" "length of 5 bytes" \
    "at least 9"
  expect_received ""
}

scenario_no_output_report() {
  plug 6666:f100:0 || return
  run 1 5 123
  unplug
  expect_status 1
  expect_stdout 1 5 123 1
  expect_stderr "reports 1, 2, 3 of 3 not sent" "/dev/hidraw0" "length of 0 bytes"
  expect_received ""
}

# Unplugged right after the first report: the later writes fail and the run says so.
scenario_device_vanishes() {
  plug 6666:f100:8:vanish || return
  run 1 5 123
  unplug
  expect_status 1
  expect_stdout 1 5 123
  expect_stderr "reports 2, 3 of 3 not sent" "'$node0" "$gone"
  expect_received "$(reports 0 1 5 123 9 | head -n 1)"
}

# devtmpfs leaves hidraw nodes to root alone, as a system without the udev rule does.
scenario_access_denied() {
  plug 6666:f100:8 || return
  run as 1000 1000 1 5 123
  unplug
  expect_status 1
  expect_stdout 1 5 123
  expect_stderr "reports 1, 2, 3 of 3 not sent" "/dev/hidraw0" "Permission denied" \
    "70-tunezap.rules"
  expect_received ""
}

# What the udev rule grants: a member of the node's group may use it.
scenario_group_access() {
  plug 6666:f100:8 || return
  chgrp 46 /dev/hidraw0 && chmod 0660 /dev/hidraw0 || problem "could not change /dev/hidraw0"
  run as 1000 1000,46 1 5 123
  unplug
  expect_status 0
  expect_stdout 1 5 123
  expect_no_stderr
  expect_received "$(reports 0 1 5 123 9)"
}

# Twenty ($pairs) times two runs at once: each run's three reports must arrive together.
scenario_concurrent_pairs() {
  plug 6666:f100:8 || return
  reports 0 1 1 123 9 | tr '\n' ' ' >"$work/run.a"
  reports 0 0 2 456 9 | tr '\n' ' ' >"$work/run.b"
  round=0
  while [ "$round" -lt "$pairs" ]; do
    timeout 30 "$TUNEZAP" 1 1 123 >/dev/null 2>"$work/err.a" </dev/null &
    a=$!
    timeout 30 "$TUNEZAP" 0 2 456 >/dev/null 2>"$work/err.b" </dev/null &
    b=$!
    wait "$a" || problem "round $round: first run exit status $?: $(flat "$work/err.a")"
    wait "$b" || problem "round $round: second run exit status $?: $(flat "$work/err.b")"
    round=$((round + 1))
  done
  unplug
  whole_a=0
  whole_b=0
  line=0
  while read -r r1 && read -r r2 && read -r r3; do
    triple="$r1 $r2 $r3 "
    if [ "$triple" = "$(cat "$work/run.a")" ]; then
      whole_a=$((whole_a + 1))
    elif [ "$triple" = "$(cat "$work/run.b")" ]; then
      whole_b=$((whole_b + 1))
    else
      problem "reports $((line + 1)) to $((line + 3)) are not one run's: $triple"
      break
    fi
    line=$((line + 3))
  done <"$work/received"
  [ "$whole_a" -eq "$pairs" ] && [ "$whole_b" -eq "$pairs" ] ||
    problem "whole runs received: $whole_a and $whole_b, expected $pairs and $pairs"
}

# ---- The Windows group: scenario_windows_NAME is scenario_NAME with tunezap.exe run by wine in
# the chroot of the host's root that /init prepared. wine knows only the devices present when it
# started (no udevd here to tell it of others), so it is started afresh for each set of devices:
# after they are plugged in, by a run without arguments (which sends nothing), and stopped after.
windows_exe=$(cat /e2e/windows 2>/dev/null)
wine_env="HOME=/tmp WINEPREFIX=/tmp/wine/prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml="
# in_wine COMMAND...: a program of the host's wine, run in the chroot.
in_wine() {
  # shellcheck disable=SC2086 # one word per setting
  chroot /host /usr/bin/env $wine_env "$@"
}
windows_scenario() {
  # Standard error keeps only the program's lines: wine adds warnings of its own (no wine32).
  cat >"$work/tunezap.exe" <<EOF
#!/bin/sh
chroot /host /usr/bin/env $wine_env wine "$windows_exe" "\$@" 2>"$work/wine.\$\$"
status=\$?
grep '^tunezap: ' "$work/wine.\$\$" >&2
rm -f "$work/wine.\$\$"
exit \$status
EOF
  chmod +x "$work/tunezap.exe"
  TUNEZAP=$work/tunezap.exe
  # Where wine is not Windows: the interface path carries the device's uniq (the emulator's name
  # for it); a write to an unplugged device fails with "General failure" (ERROR_GEN_FAILURE), so
  # only the failing call is checked; wine shows three HID interfaces besides the emulated ones (two
  # virtual devices of its own, one its bus makes of an input device of the guest through evdev),
  # where Windows would show that machine's own.
  node0='\\?\hid#vid_6666&pid_f100#'
  gone="WriteFile"
  own_interfaces=3
  pairs=5
  "scenario_$1"
  unplug
  in_wine wineserver -k 2>/dev/null
  in_wine wineserver -w
  TUNEZAP=/usr/bin/tunezap
  node0=/dev/hidraw0
  gone="No such device"
  own_interfaces=0
  pairs=20
}
# Starts wine once the devices are in (called by plug).
windows_start() {
  [ "$TUNEZAP" = "$work/tunezap.exe" ] || return 0
  # Kept running between runs: wine would otherwise stop with each run's end and start again.
  in_wine wineserver -p
  timeout 120 "$TUNEZAP" >/dev/null 2>&1 </dev/null
  [ $? -eq 2 ] || problem "wine did not start tunezap.exe"
}
for name in length_9 length_65 first_of_several no_device report_too_short device_vanishes \
  concurrent_pairs; do
  eval "scenario_windows_$name() { windows_scenario $name; }"
done

for name in "$@"; do
  problems=""
  if command -v "scenario_$name" >/dev/null; then
    "scenario_$name"
  else
    problem "no such scenario"
  fi
  unplug
  if [ -z "$problems" ]; then
    echo "E2E ok $name"
  else
    echo "E2E FAIL $name: $problems"
  fi
done
