# The end-to-end scenarios, run by the test guest's /init as root under busybox sh:
#   sh scenarios.sh NAME...
# Each scenario plugs in emulated devices, runs tunezap as a user would, and checks byte for byte
# what every device received, standard output, standard error and the exit status. Prints one
# line per scenario: "E2E ok NAME" or "E2E FAIL NAME: why".

# What the Linux build says that a build for another system says otherwise (see the Windows group).
linux_build() {
  TUNEZAP=/usr/bin/tunezap
  node0=/dev/hidraw0  # the first device's path
  gone="No such device"  # the system's error text for a write to an unplugged device
  own_interfaces=0  # HID interfaces the system shows besides the emulated ones
  pairs=20  # rounds of concurrent runs
  opens_are_ours=1  # whether the devices' opens are tunezap's alone (wine's bus opens every device)
  # A device plugged in late (--wait) comes 1.25 s into the run: not a whole number of the 0.5 s
  # slow poll, which would then find it as soon as an event does.
  late_us=1250000
}
linux_build
# Arguments are split at blanks and never globbed (a Windows device path holds '?').
set -f
EMULATOR=/e2e/hid_emulator
RUN_AS=/e2e/run_as
DATA=/e2e/data  # the expected outputs every suite shares
work=/tmp/e2e
mkdir -p "$work"

problems=""  # why the current scenario fails; empty while it passes
note=""  # what a passing scenario measured, for its line
emulator=""  # process id of the running device emulator
devices=""  # the devices it was given
timer=""  # process id of the timer that plugs in the late devices
problem() { problems="$problems${problems:+; }$*"; }
# A file's text on one line, for a FAIL line.
flat() { tr '\r\n' '<|' <"$1" | head -c 600; }

# awaited PID CONDITION: true once the shell text CONDITION holds, tried every 10 ms for 10 s at
# most while process PID runs.
awaited() {
  waited=0
  until eval "$2"; do
    kill -0 "$1" 2>/dev/null && [ "$waited" -lt 1000 ] || return 1
    usleep 10000
    waited=$((waited + 1))
  done
}

# plug DEVICE...: plugs in devices [usb:]VID:PID:LENGTH[:...] in this order (hidraw0, hidraw1,
# ...); the late ones $late_us into the run that follows.
plug() {
  devices=$*
  : >"$work/emulator.out"
  "$EMULATOR" --out "$work/received" --opens "$work/opens" "$@" >"$work/emulator.out" \
    2>"$work/emulator.err" &
  emulator=$!
  awaited "$emulator" 'grep -qx ready "$work/emulator.out"' ||
    { problem "devices not plugged in: $(flat "$work/emulator.err")"; return 1; }
  windows_start
  case "$*" in *:late*) (usleep "$late_us" && kill -USR1 "$emulator") & timer=$! ;; esac
}

# Unplugs every device once the emulator has recorded all it was sent, and waits until the
# kernel has let go of their hidraw numbers, so that the next scenario starts from hidraw0.
unplug() {
  [ -z "$timer" ] || wait "$timer"
  timer=""
  [ -n "$emulator" ] || return 0
  kill -TERM "$emulator"
  wait "$emulator" || problem "emulator exit status $?: $(flat "$work/emulator.err")"
  emulator=""
  [ -s "$work/emulator.err" ] && problem "emulator: $(flat "$work/emulator.err")"
  awaited $$ '[ -z "$(ls /sys/class/hidraw)" ]' ||
    problem "hidraw nodes left: $(ls /sys/class/hidraw)"
}

now_ms() { read -r up _ </proc/uptime && echo "${up%.*}${up#*.}0"; }  # 10 ms steps

# run [as UID GIDS] ARGUMENT...: runs tunezap; its output goes to $work/out and
# $work/err, its exit status to $status, how long it took (ms) to $elapsed.
run() {
  if [ "$1" = as ]; then
    uid=$2
    gids=$3
    shift 3
    set -- "$RUN_AS" "$uid" "$gids" "$TUNEZAP" "$@"
  else
    set -- "$TUNEZAP" "$@"
  fi
  started=$(now_ms)
  timeout 30 "$@" >"$work/out" 2>"$work/err" </dev/null
  status=$?
  elapsed=$(($(now_ms) - started))
  # busybox's own word on a run a signal ended, not tunezap's
  [ "$status" -ne 143 ] || sed -i '/^Terminated$/d' "$work/err"
}

# reports DEVICE COUNT BOX VALUE CHANNEL: the first COUNT records of a run's reports as device
# DEVICE (its place among those plugged in) takes them: as long as its reports, zeros after the
# first 9 bytes; usbhid leaves report id 0 off the wire, so a device on USB gets no first byte.
reports() {
  plugged=$(echo "$devices" | cut -d ' ' -f $(($1 + 1)))
  skip=0
  case "$plugged" in usb:*) skip=2 ;; esac
  length=$(echo "${plugged#usb:}" | cut -d : -f 3)
  sed -n "s/^$3 $4 $5: //p" "$DATA/reports.txt" | tr ' ' '\n' | head -n "$2" | awk -v device="$1" \
    -v bytes=$((length + 1)) -v skip=$skip \
    '{ r = $0; while (length(r) < 2 * bytes) r = r "00"; print device " output " substr(r, skip + 1) }'
}

expect_status() { [ "$status" -eq "$1" ] || problem "exit status $status, expected $1"; }

# expect_stdout LINES ARGUMENT...: standard output is that of a run with the channel its last
# three arguments name, up to the line of digit LINES.
expect_stdout() {
  lines=$1
  shift $(($# - 3))
  head -n $((3 + 2 * lines)) "$DATA/stdout/$1_$2_$3.out" >"$work/expected.out"
  cmp -s "$work/expected.out" "$work/out" || problem "standard output: $(flat "$work/out")"
}

expect_no_stderr() { [ -s "$work/err" ] && problem "standard error: $(flat "$work/err")"; }

# The error line of a run whose first report was not delivered (the later ones then not sent).
first_refused="not changed: report 1 of 3 not delivered"

# expect_stderr TEXT...: one line starting "tunezap: " and holding every TEXT.
expect_stderr() {
  [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q '^tunezap: ' "$work/err" ||
    problem "not one 'tunezap: ' line on standard error: $(flat "$work/err")"
  for text in "$@"; do
    grep -qF -- "$text" "$work/err" || problem "standard error lacks '$text': $(flat "$work/err")"
  done
}

# expect_lines FILE WHAT LINE...: $work/FILE holds exactly the LINEs (an empty one: nothing).
# (Arguments, not a pipe: a check run in a pipeline's subshell could not record a problem.)
expect_lines() {
  file=$1 what=$2
  shift 2
  if [ -n "$*" ]; then printf '%s\n' "$@"; fi >"$work/expected.$file"
  cmp -s "$work/expected.$file" "$work/$file" ||
    problem "$what: $(flat "$work/$file") expected: $(flat "$work/expected.$file")"
}
# expect_received LINES: exactly what the devices must have received, in order, one record a line.
expect_received() { expect_lines received "devices received" "$1"; }
# expect_opens LINE...: exactly which devices were opened ("I open"), in order.
expect_opens() { [ "$opens_are_ours" -eq 0 ] || expect_lines opens "devices opened" "$@"; }

# outcome 'DEVICES|ARGUMENTS|STATUS|LINES|RECEIVED|OPENS|TEXT|...': plugs DEVICES in (none: they
# are in already), runs tunezap with ARGUMENTS, unplugs, and checks: the exit status; standard
# output up to the line of digit LINES; what the devices received (RECEIVED "DEVICE COUNT [BOX
# VALUE CHANNEL]": the first COUNT reports of that run, by default this one; empty: nothing); which
# were opened (OPENS: their numbers in order, "-" none, empty: not checked); standard error: with
# exit status 1 one line holding every TEXT, else nothing. False if the devices did not plug in.
outcome() {
  IFS='|' read -r plugged arguments expected lines received opens texts <<EOF
$1
EOF
  [ -z "$plugged" ] || plug $plugged || return  # one word per device
  run $arguments
  unplug
  expect_status "$expected"
  set -- $arguments
  shift $(($# - 3))
  expect_received "$([ -z "$received" ] || reports $received "$@")"
  expect_stdout "$lines" "$@"
  [ -z "$opens" ] || expect_opens "$(for device in $opens; do [ "$device" = - ] || echo "$device open"; done)"
  IFS='|'
  set -- $texts
  unset IFS
  if [ "$expected" -eq 1 ]; then expect_stderr "$@"; else expect_no_stderr; fi
  return 0
}

# The scenarios that are one run: NAME|DEVICES|ARGUMENTS|STATUS|LINES|RECEIVED|OPENS|TEXT|...
# (as outcome takes them). Read when a scenario starts, with the words of the build that runs.
# first_of_several: the same vendor with another product, another vendor with the same product,
# then two boxes: only the first box in hidraw order (hidraw2) is written to, and the only one
# ever opened. A device that cannot take the report ends the run at its first digit
# (report_too_short, no_output_report); one unplugged right after the first report fails the later
# writes (device_vanishes, on USB usb_unplugged: the gadget unbound). access_denied: devtmpfs
# leaves hidraw nodes to root alone, as a system without the udev rule does. term_while_sending:
# a SIGTERM as the box takes report 1 (the emulator sends it to the run, which has the node open):
# the channel is still written whole, and then the run dies by that signal.
boxes="046d:c077:8:serial=MOUSE 6666:f100:8:serial=BOX-A 6666:f100:8:serial=BOX-B"
table() {
  cat <<EOF
length_9|6666:f100:8|1 5 123|0|3|0 3|
length_65|6666:f100:64|0 200 907|0|3|0 3|
first_of_several|6666:f101:8 1234:f100:8 6666:f100:8 6666:f100:64|1 7 456|0|3|2 3|2
no_device|6666:f101:8 1234:f100:64|1 5 123|1|3||-|$first_refused|reports 2, 3 not sent|no device 6666:f100 among $((2 + own_interfaces)) HID interfaces
report_too_short|6666:f100:4|1 5 123|1|1|||$first_refused|reports 2, 3 not sent|$node0|length of 5 bytes|at least 9
no_output_report|6666:f100:0|1 5 123|1|1|||$first_refused|reports 2, 3 not sent|/dev/hidraw0|length of 0 bytes
device_vanishes|6666:f100:8:vanish|1 5 123|1|3|0 1||report 2 of 3 not delivered (|'$node0|$gone|); report 3 not sent
access_denied|6666:f100:8|as 1000 1000 1 5 123|1|3|||$first_refused|reports 2, 3 not sent|/dev/hidraw0|Permission denied|70-tunezap.rules
serial_unknown|$boxes|--serial=BOX-C 1 5 123|1|3||-|$first_refused|reports 2, 3 not sent|no device 6666:f100 with serial BOX-C among $((3 + own_interfaces)) HID interfaces
term_while_sending|6666:f100:8:term|1 5 123|143|3|0 3|
usb_length_9|usb:6666:f100:8|1 5 123|0|3|0 3|
usb_length_65|usb:6666:f100:64|0 200 907|0|3|0 3|
usb_unplugged|usb:6666:f100:8:vanish|1 5 123|1|3|0 1||report 2 of 3 not delivered (write '/dev/hidraw0'|); report 3 not sent
EOF
}

# Started with standard error closed, as some recording software starts its helpers: the device
# takes the lowest free descriptor, and the error text must not reach it as a report.
scenario_stderr_closed() {
  plug 6666:f100:4 || return
  timeout 30 "$TUNEZAP" 1 5 123 >"$work/out" 2>&- </dev/null
  status=$?
  unplug
  expect_status 1
  expect_stdout 1 1 5 123
  expect_received ""
}

# What the udev rule grants: a member of the node's group may use it.
scenario_group_access() {
  plug 6666:f100:8 || return
  chgrp 46 /dev/hidraw0 && chmod 0660 /dev/hidraw0 || problem "could not change /dev/hidraw0"
  outcome "|as 1000 1000,46 1 5 123|0|3|0 3|"
}

# Twenty ($pairs) times two runs at once: each run's three reports must arrive together.
scenario_concurrent_pairs() {
  plug 6666:f100:8 || return
  for round in $(seq "$pairs"); do
    timeout 30 "$TUNEZAP" 1 1 123 >/dev/null 2>"$work/err.a" </dev/null &
    a=$!
    timeout 30 "$TUNEZAP" 0 2 456 >/dev/null 2>"$work/err.b" </dev/null &
    wait "$a" || problem "round $round: first run exit status $?: $(flat "$work/err.a")"
    wait $! || problem "round $round: second run exit status $?: $(flat "$work/err.b")"
  done
  unplug
  # Each three records in a row, with how often they came: whole runs only, $pairs of each.
  paste -d ' ' - - - <"$work/received" | sort | uniq -c | sed 's/^ *//' >"$work/runs"
  expect_lines runs "runs received" "$pairs $(reports 0 3 0 2 456 | paste -sd ' ')" \
    "$pairs $(reports 0 3 1 1 123 | paste -sd ' ')"
}

# Two identical boxes told apart by their serial numbers, beside a mouse: --list names both with
# their serials (opening both, to tell whether they can be opened), --serial and --device (with
# the path --list printed; where that is a file, through a link, as a user's udev rule would make
# one) pick the second, and the run opens and writes to it alone.
picks_second() {  # OPTION: --serial=BOX-B, or --device (with the path --list printed)
  plug $boxes || return
  run --list
  [ "$(grep -c " 6666:f100 BOX-[AB] 9 can be opened" "$work/out")" -eq 2 ] ||
    problem "list: $(flat "$work/out")"
  box_b=$(sed -n 's/^. \([^ ]*\) 6666:f100 BOX-B .*/\1/p' "$work/out")
  [ -e "$box_b" ] && ln -sf "$box_b" "$work/box-b" && box_b=$work/box-b
  [ "$1" != --device ] || set -- "--device $box_b"
  outcome "|$1 1 5 123|0|3|2 3|1 2 2"
}
scenario_serial_picks_second() { picks_second --serial=BOX-B; }
scenario_device_picks_second() { picks_second --device; }

# --list names every interface with its serial; it opens the boxes (to tell whether this user
# may) and nothing else. As a user without access: both boxes refused (and so never opened), exit 1.
scenario_list() {
  plug 1234:f100:8:serial=KBD 6666:f100:8:serial=BOX-A 6666:f100:64:serial=BOX-B || return
  run --list
  expect_status 0
  expect_lines out "list as root" "  /dev/hidraw0 1234:f100 KBD 9" \
    "* /dev/hidraw1 6666:f100 BOX-A 9 can be opened" \
    "  /dev/hidraw2 6666:f100 BOX-B 65 can be opened"
  run as 1000 1000 --list
  unplug
  denied="Permission denied (install the udev rule 70-tunezap.rules, see tunezap(1))"
  expect_lines out "list as a user" "  /dev/hidraw0 1234:f100 KBD 9" \
    "  /dev/hidraw1 6666:f100 BOX-A 9 cannot be opened: open '/dev/hidraw1': $denied" \
    "  /dev/hidraw2 6666:f100 BOX-B 65 cannot be opened: open '/dev/hidraw2': $denied"
  expect_status 1
  expect_stderr "device 6666:f100 found at /dev/hidraw1 but it could not be opened"
  expect_opens "1 open" "2 open"
}

# In a container's /dev, as docker run --device /dev/hidraw2:/dev/hidraw0 makes it: a mount
# namespace with a tmpfs on /dev holding /dev/null and the box hidraw2 as /dev/hidraw0, while /sys
# still shows the host's devices, hidraw0 among them. --list, --device with the container's name
# and the plain search know the box by its device number.
scenario_container() {
  plug 1234:f100:8:serial=KBD 6666:f100:8:serial=BOX-A 6666:f100:8:serial=BOX-B || return
  number=$(cat /sys/class/hidraw/hidraw2/dev)
  cat >"$work/contained" <<EOF
#!/bin/sh
exec unshare -m sh -c 'mount -t tmpfs tmpfs /dev && mknod /dev/null c 1 3 &&
  mknod /dev/hidraw0 c ${number%:*} ${number#*:} && exec "\$0" "\$@"' "$TUNEZAP" "\$@"
EOF
  chmod +x "$work/contained"
  TUNEZAP=$work/contained run --list
  expect_lines out list "  ? 1234:f100 KBD 9" "  ? 6666:f100 BOX-A 9 cannot be opened: open \
'/dev/hidraw1': no device node ${number%:*}:1 in '/dev'" \
    "* /dev/hidraw0 6666:f100 BOX-B 9 can be opened"
  TUNEZAP=$work/contained run --device /dev/hidraw0 1 5 123
  TUNEZAP=$work/contained run 0 9 7
  unplug
  expect_received "$(reports 2 3 1 5 123; reports 2 3 0 9 7)"
  expect_opens "2 open" "2 open" "2 open"
}

# ---- The set-top box on USB for real (a gadget on dummy_hcd, taken by usbhid), and the real
# udevd applying our rule.

# A box that stopped reading, its queue full: usbhid refuses report 1 after its 5 s bound. The box,
# reading again 6 s after it stopped, must not get a later digit alone; the run costs one bound.
scenario_usb_stalled() {
  outcome "usb:6666:f100:8:full|1 5 123|1|3|||$first_refused|(write '/dev/hidraw0': Connection \
timed out); reports 2, 3 not sent" && took 0 6000
}

# On USB the serial number --serial matches is the device's USB serial string: a box on USB is
# told from an identical one beside it by that alone, and only it is written to.
scenario_usb_serial() {
  plug 6666:f100:8:serial=BOX-A usb:6666:f100:8:serial=BOX-U || return
  run --list
  expect_lines out list "* /dev/hidraw0 6666:f100 BOX-A 9 can be opened" \
    "  /dev/hidraw1 6666:f100 BOX-U 9 can be opened"
  outcome "|--serial=BOX-U 1 5 123|0|3|1 3|0"  # opened by --list alone
}

# The real udevd, logging every rule line it applies, for the devices plugged in while it runs.
udevd=""  # its process id
start_udevd() {
  SYSTEMD_LOG_LEVEL=debug /lib/systemd/systemd-udevd >"$work/udevd.log" 2>&1 &
  udevd=$!
  # Answering on its control socket, it also listens to the kernel's events.
  awaited "$udevd" 'udevadm control --ping 2>/dev/null' ||
    { problem "udevd did not start: $(tail -n 3 "$work/udevd.log" | tr '\n' '|')"; return 1; }
}

stop_udevd() {
  [ -n "$udevd" ] || return 0
  kill -TERM "$udevd"
  wait "$udevd"
  udevd=""
  # Its records of devices, which the next one must not take for its own, and any seat.
  rm -rf /run/udev /run/systemd
}

RULES=/usr/lib/udev/rules.d/70-tunezap.rules

# expect_granted_by TEXT: udevd gave /dev/hidraw0 to group plugdev (46) with mode 0660, and did so
# by the line of our rule that holds TEXT (its debug log names each rule line it applies).
expect_granted_by() {
  # The node comes before the kernel's event: wait for udevd's record of the device, then for
  # whatever else is queued.
  record=/run/udev/data/c$(cat /sys/class/hidraw/hidraw0/dev)
  awaited "$udevd" '[ -e "$record" ]'
  udevadm settle -t 10 || problem "udev events still queued after 10 s"
  line=$(grep -n -m 1 -F -- "$1" "$RULES" | cut -d: -f1)
  if [ -z "$line" ]; then
    problem "no line of $RULES holds $1"
  elif ! grep -qx "hidraw0: $RULES:$line GROUP 46" "$work/udevd.log"; then
    problem "line $line of $RULES ($1) did not apply to hidraw0"
  fi
  [ "$(stat -c '%g %a' /dev/hidraw0)" = "46 660" ] ||
    problem "/dev/hidraw0 has group and mode $(stat -c '%g %a' /dev/hidraw0), expected 46 660"
}

# A user in plugdev (uid 1000), given the USB device by the rule's USB line.
scenario_udev_usb_plugdev() {
  start_udevd && plug usb:6666:f100:8 || return
  expect_granted_by 'ATTRS{idVendor}'
  outcome "|as 1000 1000,46 1 5 123|0|3|0 3|"
}

# The same on a device that is not on USB, by the rule's other line.
scenario_udev_uhid_plugdev() {
  plug 6666:f100:8 || return
  # Plugged in before udevd runs: the rule applies once triggered, as the README loads it.
  start_udevd || return
  udevadm trigger --settle --subsystem-match=hidraw || problem "udevadm trigger failed"
  expect_granted_by 'KERNELS=='
  outcome "|as 1000 1000,46 1 5 123|0|3|0 3|"
}

# Users outside plugdev. The desktop seat's (no logind here: its seat file names 1001 the active
# user) may use the device: Debian's 73-seat-late.rules has udevd's uaccess builtin give it an ACL
# on a node our rule tagged. Another is refused the device the rule gave to plugdev, and told
# about the rule.
scenario_udev_outside_plugdev() {
  mkdir -p /run/systemd/seats && echo ACTIVE_UID=1001 >/run/systemd/seats/seat0
  start_udevd && plug usb:6666:f100:8 || return
  expect_granted_by 'ATTRS{idVendor}'
  run as 1001 1001 0 9 7
  outcome "|as 1000 1000 1 5 123|1|3|0 3 0 9 7||$first_refused|reports 2, 3 not sent|/dev/hidraw0\
|Permission denied|70-tunezap.rules"
}

# took MIN MAX: the run took MIN to MAX ms.
took() {
  note="run $elapsed ms"
  [ "$elapsed" -ge "$1" ] && [ "$elapsed" -le "$2" ] || problem "$note"
}

# ---- --wait: a box on its way, plugged in ("late") $late_us into the run.

# prompt MS US: the run took less than MS, and its late device's first report came less than US
# after its node (on Linux; wine takes seconds to learn of a device).
prompt() {
  latency=$(sed -n 's/^latency [0-9]* //p' "$work/emulator.out" | head -n 1)
  note="run $elapsed ms${latency:+, node to first report $latency us}"
  [ "$TUNEZAP" != /usr/bin/tunezap ] ||
    { [ "$elapsed" -lt "$1" ] && [ "${latency:-$2}" -lt "$2" ]; } || problem "$note"
}
scenario_wait_late() { outcome "6666:f100:8:late|--wait=20 1 5 123|0|3|0 3|" && prompt 2100 50000; }
# Enumerated on USB in the guest takes a while: no bound but the deadline's.
scenario_wait_usb_late() {
  outcome "usb:6666:f100:8:late|--wait=20 1 5 123|0|3|0 3|" && prompt 20000 20000000
}
# The kernel makes the node root's; udevd gives it to plugdev a moment later.
scenario_wait_udev_plugdev() {
  start_udevd && outcome "6666:f100:8:late|as 1000 1000,46 --wait=20 1 5 123|0|3|0 3|" &&
    prompt 20000 20000000
}
scenario_wait_serial() {
  late_b="6666:f100:8:serial=BOX-A 6666:f100:8:serial=BOX-B:late"
  outcome "$late_b|--wait=20 --serial=BOX-B 1 5 123|0|3|1 3|1" && prompt 2100 50000
}
# No box ever: the run ends at the deadline, counted from its start.
scenario_wait_none() {
  outcome "6666:f101:8|--wait=2 1 5 123|1|3|||$first_refused (no device 6666:f100 among 1 HID \
interfaces (waited 2 s))|reports 2, 3 not sent" && took 2000 2600
}

# A SIGTERM one second into --wait with no box: a wait is never held, the run ends at once.
scenario_wait_term() {
  plug 6666:f101:8 || return
  "$TUNEZAP" --wait=20 1 5 123 >"$work/out" 2>"$work/err" </dev/null &
  usleep 1000000
  kill -TERM $! && signalled=$(now_ms)
  wait $!
  status=$? elapsed=$(($(now_ms) - signalled))
  unplug
  expect_status 143
  expect_stdout 1 1 5 123
  expect_no_stderr
  expect_received ""
  note="ended $elapsed ms after the signal"
  [ "$elapsed" -le 300 ] || problem "$note"
}

# ---- Recording servers: the system log, kept by busybox syslogd in a file, and --gap.

# --syslog logs a success and a failure (as its standard error line); without it a failure is
# logged where standard error is closed or /dev/null, not where it is a file. (Every other
# scenario runs without /dev/log: stderr_closed shows that a log out of reach changes nothing.)
scenario_syslog() {
  # syslogd appends: a file left by an earlier run of the scenario (armhf after arm64) is not ours.
  rm -f "$work/syslog"
  syslogd -n -O "$work/syslog" & logger=$!
  awaited "$logger" '[ -S /dev/log ]' || problem "syslogd did not start"
  outcome "6666:f100:8|--syslog 0 9 7|0|3|0 3|"
  for options in "" --syslog; do outcome "6666:f100:4|$options 1 5 123|1|1||"; done
  scenario_stderr_closed
  plug 6666:f100:4 && timeout 30 "$TUNEZAP" 1 5 123 >/dev/null 2>/dev/null </dev/null
  unplug
  # Lines come in the order they were sent: one logged by mistake comes before the fourth.
  awaited "$logger" '[ "$(grep -c " tunezap: " "$work/syslog")" -ge 4 ]'
  kill "$logger" && rm -f /dev/log
  failure="err $(sed 's/^tunezap: //' "$work/err")"
  sed -n 's/^.* user\.\([a-z]*\) tunezap: /\1 /p' "$work/syslog" >"$work/logged"
  expect_lines logged "system log" "info channel 7 changed: box 0, value 9, device $node0" \
    "$failure" "$failure" "$failure"
}

# A box that drops digits sent quickly: the reports come --gap apart, and the run takes as long.
scenario_gap() {
  outcome "6666:f100:8|--gap=0.3 1 5 123|0|3|0 3|"
  # shellcheck disable=SC2046 # one word per report; zeros stand in for missing ones
  set -- $(sed -n 's/^taken 0 //p' "$work/emulator.out") 0 0 0
  note="run $elapsed ms, reports taken at $1 $2 $3 us"
  [ "$elapsed" -ge 600 ] && [ $(($2 - $1)) -ge 300000 ] && [ $(($3 - $2)) -ge 300000 ] ||
    problem "$note"
}

# ---- The Windows group: windows_NAME is scenario NAME with tunezap.exe run by wine in
# the chroot of the host's root that /init prepared. wine knows only the devices present when it
# started (no udevd here to tell it of others, but for --wait), so it is started afresh for each
# set of devices: after they are plugged in, by a run without arguments (which sends nothing), and
# stopped after.
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
  opens_are_ours=0
  late_us=8000000  # wine starts for 2 to 3 s before the program searches
  # wine learns of a device that comes late from udevd.
  case "$1" in wait_*) start_udevd ;; esac
  scenario "$1"
  unplug
  in_wine wineserver -k 2>/dev/null
  in_wine wineserver -w
  linux_build
}
# Starts wine once the devices are in (called by plug).
windows_start() {
  [ "$TUNEZAP" = "$work/tunezap.exe" ] || return 0
  # Kept running between runs: wine would otherwise stop with each run's end and start again.
  in_wine wineserver -p
  timeout 120 "$TUNEZAP" >/dev/null 2>&1 </dev/null
  [ $? -eq 2 ] || problem "wine did not start tunezap.exe"
}

# scenario NAME: scenario_NAME, or the table's row NAME.
scenario() {
  if command -v "scenario_$1" >/dev/null; then
    "scenario_$1"
  elif row=$(table | grep "^$1|"); then
    outcome "${row#*|}"
  else
    problem "no such scenario"
  fi
}
for name in "$@"; do
  problems=""
  note=""
  case "$name" in
    windows_*) windows_scenario "${name#windows_}" ;;
    armhf_*) TUNEZAP=/usr/bin/tunezap-armhf scenario "${name#armhf_}" ;;  # 32-bit ARM, 64-bit kernel
    *) scenario "$name" ;;
  esac
  unplug
  stop_udevd
  if [ -z "$problems" ]; then
    echo "E2E ok $name${note:+ ($note)}"
  else
    echo "E2E FAIL $name: $problems"
  fi
done
