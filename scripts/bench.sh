#!/usr/bin/env bash
# Times whole runs of tunezap against generated device trees beside the floor (bench/floor.c: only
# the system calls the job needs) and prints a markdown table; then the in-process timings.
#   scripts/bench.sh [RUNS]     (default 31 runs of each per row)
# TUNEZAP_WERROR=ON in the environment makes warnings errors.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-31}
build=build-bench

scripts/install-deps.sh bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTUNEZAP_BENCH=ON \
  -DTUNEZAP_TESTS=OFF -DTUNEZAP_WERROR="${TUNEZAP_WERROR:-OFF}" >/dev/null
cmake --build "$build" >/dev/null
program=$build/bench/bench_tree_tunezap
floor=$build/bench/bench_floor
timer=$build/bench/bench_timer

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# make_tree ROOT COUNT BOX: COUNT interfaces shaped as the kernel publishes them (class entries
# and device links are symlinks into sys/devices); the box is the last one when BOX is "last".
make_tree() {
  local root=$1 count=$2 box=$3 n vendor product hid
  local devices=$root/sys/devices/virtual/hid descriptor
  descriptor=$(printf '\\x06\\x00\\xff\\x09\\x01\\xa1\\x01\\x15\\x00\\x26\\xff\\x00\\x75\\x08\\x95\\x08\\x09\\x01\\x91\\x02\\xc0')
  mkdir -p "$root/sys/class/hidraw" "$root/dev" "$devices"
  for ((n = 0; n < count; n++)); do
    vendor=046D product=C31C
    if [ "$box" = last ] && [ $n -eq $((count - 1)) ]; then vendor=6666 product=F100; fi
    hid=$(printf '0003:%s:%s.%04X' $vendor $product $((n + 1)))
    mkdir -p "$devices/$hid/hidraw/hidraw$n"
    printf 'DRIVER=hid-generic\nHID_ID=0003:0000%s:0000%s\nHID_NAME=bench %s\n' $vendor $product $n \
      >"$devices/$hid/uevent"
    printf "$descriptor" >"$devices/$hid/report_descriptor"
    ln -s "../../../$hid" "$devices/$hid/hidraw/hidraw$n/device"
    ln -s "../../devices/virtual/hid/$hid/hidraw/hidraw$n" "$root/sys/class/hidraw/hidraw$n"
    : >"$root/dev/hidraw$n"
  done
}

# syscalls COMMAND...: the system calls of one run, as strace -c -f counts them.
syscalls() {
  strace -c -f -o "$work/strace" "$@" >/dev/null 2>&1 || true
  awk '$NF == "total" { print $4 }' "$work/strace"
}

rows=("1 last" "64 last" "1024 last" "64 none" "1024 none")
declare -A calls
echo "| HID interfaces | device | tunezap median (µs) | floor median (µs) | ratio | tunezap peak RSS (KiB) | floor peak RSS (KiB) | tunezap syscalls | floor syscalls |"
echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|"
for row in "${rows[@]}"; do
  read -r count box <<<"$row"
  tree=$work/$count-$box
  make_tree "$tree" "$count" "$box"
  nodes=()
  [ "$box" = last ] && nodes=(-t "$tree/dev/hidraw$((count - 1))")
  { read -r tool_us tool_kib _; read -r floor_us floor_kib _; } < <("$timer" "$runs" "${nodes[@]}" \
    -- "$program" "$tree/sys" "$tree/dev" 1 5 123 -- "$floor" "$tree/sys" "$tree/dev" || true)
  tool_calls=$(syscalls "$program" "$tree/sys" "$tree/dev" 1 5 123)
  floor_calls=$(syscalls "$floor" "$tree/sys" "$tree/dev")
  calls[$count-$box]="$tool_calls $floor_calls"
  ratio=$(awk -v a="$tool_us" -v b="$floor_us" 'BEGIN { printf "%.2f", a / b }')
  where=$([ "$box" = last ] && echo last || echo "none (1 search)")
  echo "| $count | $where | $tool_us | $floor_us | $ratio | $tool_kib | $floor_kib | $tool_calls | $floor_calls |"
  rm -rf "$tree"
done

# Per non-matching interface: the difference between the 1024- and 64-interface trees.
read -r t64 f64 <<<"${calls[64-last]}"
read -r t1024 f1024 <<<"${calls[1024-last]}"
read -r n64 _ <<<"${calls[64-none]}"
read -r n1024 _ <<<"${calls[1024-none]}"
echo
awk -v t="$((t1024 - t64))" -v f="$((f1024 - f64))" -v n="$((n1024 - n64))" 'BEGIN {
  printf "System calls per non-matching interface: tunezap %.2f, floor %.2f ", t / 960, f / 960
  printf "(absent device, per interface: %.2f)\n", n / 960 }'

# ---- Start-up: the program as users run it, on this machine's own /sys/class/hidraw, against a
# statically linked C program that writes the same bytes and lists that directory as often (once
# when the box is absent). Each loop starts one program STARTUP_RUNS times from the shell;
# the programs take turns loop by loop, so that the machine's slow spells fall on all alike. The
# timer then starts them directly (fork and exec, no shell), taking turns run by run, for as many
# runs in all: less noise, and no shell's fork in each figure.
loops=${STARTUP_LOOPS:-10}
per_loop=${STARTUP_RUNS:-300}
export LC_ALL=C  # a decimal point in EPOCHREALTIME
echo
if grep -qil '^HID_ID=0003:00006666:0000F100$' /sys/class/hidraw/*/device/uevent 2>/dev/null; then
  echo "Start-up: skipped, a box is attached here and every run would change its channel"
else
  startup_loop() {  # PROGRAM: microseconds per run over one loop
    local start=$EPOCHREALTIME k
    for ((k = 0; k < per_loop; k++)); do "$1" 1 5 123 >/dev/null 2>&1; done
    awk -v a="$start" -v b="$EPOCHREALTIME" -v n="$per_loop" \
      'BEGIN { printf "%.1f\n", (b - a) * 1e6 / n }'
  }
  median() {  # of the numbers in $1
    tr ' ' '\n' <<<"$1" | grep . | sort -n |
      awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
  }
  names=("tunezap (static, as built)" "tunezap linked dynamically" "floor: static C program"
    "tunezap static at a fixed address (not PIE)")
  programs=("$build/tunezap" "$build/bench/bench_tunezap_dynamic" "$build/bench/bench_start_floor"
    "$build/bench/bench_tunezap_fixed")
  declare -A samples
  for ((loop = 0; loop < loops; loop++)); do
    for ((i = 0; i < ${#programs[@]}; i++)); do
      p=$(((i + loop) % ${#programs[@]}))
      samples[$p]+="$(startup_loop "${programs[$p]}") "
    done
  done
  floor_median=$(median "${samples[2]}")
  timer_args=()
  for program in "${programs[@]}"; do timer_args+=(-- "$program" 1 5 123); done
  mapfile -t direct < <("$timer" $((loops * per_loop)) "${timer_args[@]}")
  cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')
  echo "Start-up, $(nproc) cores, $cpu, load $(cut -d' ' -f1-3 /proc/loadavg):" \
    "medians of $loops shell loops of $per_loop runs, and of $((loops * per_loop)) timer runs"
  echo "| program | shell loop: µs per run | ratio to the floor | timer: µs per run | ratio |" \
    "processor µs per run | ratio |"
  echo "|---|---:|---:|---:|---:|---:|---:|"
  for ((p = 0; p < ${#programs[@]}; p++)); do
    read -r wall _ processor <<<"${direct[$p]}"
    read -r floor_wall _ floor_processor <<<"${direct[2]}"
    awk -v n="${names[$p]}" -v m="$(median "${samples[$p]}")" -v f="$floor_median" \
      -v d="$wall" -v g="$floor_wall" -v c="$processor" -v h="$floor_processor" \
      'BEGIN { printf "| %s | %.0f | %.2f | %.0f | %.2f | %.0f | %.2f |\n", n, m, m / f, d, d / g,
        c, c / h }'
  done
  echo "(target for the program as built: at most 1.10)"
fi

echo
"$build/bench/bench_search" --benchmark_min_time=0.2 2>/dev/null
