#!/usr/bin/env bash
# Times whole runs of tunezap against generated device trees beside the floor (bench/floor.c: only
# the system calls the job needs) and prints a markdown table; then the in-process timings.
#   scripts/bench.sh [RUNS]     (default 31 runs of each per row)
# TUNEZAP_WERROR=ON in the environment makes warnings errors. bench_search makes the trees.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-31}
build="build-bench"
bench=$build/bench
scripts/install-deps.sh bench
TUNEZAP_BENCH=ON cmake --preset release -B "$build" -DTUNEZAP_TESTS=OFF >/dev/null
cmake --build "$build" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# syscalls COMMAND...: the system calls of one run, as strace -c -f counts them.
syscalls() {
  strace -c -f -o "$work/strace" "$@" >/dev/null 2>&1 || true
  awk '$NF == "total" { print $4 }' "$work/strace"
}

declare -A calls
echo "| HID interfaces | device | tunezap median (µs) | floor median (µs) | ratio | tunezap peak RSS (KiB) | floor peak RSS (KiB) | tunezap syscalls | floor syscalls |"
echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|"
for row in "1 last" "64 last" "1024 last" "64 none" "1024 none"; do
  read -r count box <<<"$row"
  tree=$work/$count-$box
  "$bench/bench_search" --tree "$tree" "$count" "$box"
  tool=("$bench/bench_tree_tunezap" "$tree/sys" "$tree/dev" 1 5 123)
  floor=("$bench/bench_floor" "$tree/sys" "$tree/dev")
  # The box's node, the last, emptied before each run (without a box it stays empty).
  { read -r tool_us tool_kib _; read -r floor_us floor_kib _; } < <("$bench/bench_timer" "$runs" \
    -t "$tree/dev/hidraw$((count - 1))" -- "${tool[@]}" -- "${floor[@]}" || true)
  calls[$row]="$(syscalls "${tool[@]}") $(syscalls "${floor[@]}")"
  where=$([ "$box" = last ] && echo last || echo "none (1 search)")
  ratio=$(awk -v a="$tool_us" -v b="$floor_us" 'BEGIN { printf "%.2f", a / b }')
  echo "| $count | $where | $tool_us | $floor_us | $ratio | $tool_kib | $floor_kib | ${calls[$row]// / | } |"
  rm -rf "$tree"
done

# Per non-matching interface: the difference between the 1024- and 64-interface trees.
echo
awk -v a="${calls[64 last]} ${calls[1024 last]} ${calls[64 none]} ${calls[1024 none]}" 'BEGIN {
  split(a, v, " ")
  printf "System calls per non-matching interface: tunezap %.2f, floor %.2f ", (v[3] - v[1]) / 960, (v[4] - v[2]) / 960
  printf "(absent device, per interface: %.2f)\n", (v[7] - v[5]) / 960 }'

# ---- Start-up: the program as recording servers run it (standard streams on /dev/null, no box:
# a failure, which goes to the system log), on this machine's own /sys/class/hidraw, against a C
# program linked as the program is that writes the same bytes and lists that directory once. Each
# loop starts one program STARTUP_RUNS times from the shell; the programs take turns loop by loop,
# so that the machine's slow spells fall on all alike. The timer then starts them directly (fork
# and exec, no shell), taking turns run by run, for as many runs in all: less noise, and no
# shell's fork in each figure.
loops=${STARTUP_LOOPS:-10}
per_loop=${STARTUP_RUNS:-300}
export LC_ALL=C  # a decimal point in EPOCHREALTIME
echo
if grep -qil '^HID_ID=0003:00006666:0000F100$' /sys/class/hidraw/*/device/uevent 2>/dev/null; then
  echo "Start-up: skipped, a box is attached here and every run would change its channel"
else
  names=("tunezap (static, as built)" "tunezap linked dynamically" "floor: C program, static PIE"
    "tunezap static at a fixed address (not PIE)")
  programs=("$build/tunezap" "$bench/bench_tunezap_dynamic" "$bench/bench_start_floor"
    "$bench/bench_tunezap_fixed")
  # Out of the page cache, so that exec reads each back alike: how a file was written decides the
  # pieces it is cached in, and so how many page faults a run takes (32 or 39 for one program).
  sync "${programs[@]}" && for program in "${programs[@]}"; do dd if="$program" iflag=nocache count=0 status=none; done
  # One line per loop: microseconds per run of each program, the programs in turn.
  for ((loop = 0; loop < loops; loop++)); do
    for ((i = 0; i < ${#programs[@]}; i++)); do
      p=$(((i + loop) % ${#programs[@]})) start=$EPOCHREALTIME
      for ((k = 0; k < per_loop; k++)); do "${programs[$p]}" 1 5 123 </dev/null &>/dev/null || true; done
      echo "$p $(((${EPOCHREALTIME/./} - ${start/./}) / per_loop))"
    done
  done | sort -k1,1n -k2,2n >"$work/loops"
  timer_args=()
  for program in "${programs[@]}"; do timer_args+=(-- "$program" 1 5 123); done
  "$bench/bench_timer" $((loops * per_loop)) "${timer_args[@]}" >"$work/direct"
  echo "Start-up, $(nproc) cores,$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2), load $(cut -d' ' -f1-3 /proc/loadavg):" \
    "medians of $loops shell loops of $per_loop runs, and of $((loops * per_loop)) timer runs"
  echo "| program | shell loop: µs per run | ratio to the floor | timer: µs per run | ratio |" \
    "processor µs per run | ratio |"
  echo "|---|---:|---:|---:|---:|---:|---:|"
  printf '%s\n' "${names[@]}" >"$work/names"
  awk -v n="$loops" 'FILENAME ~ /names$/ { name[FNR - 1] = $0; next }
    FILENAME ~ /loops$/ { s[$1, c[$1]++] = $2; next }
    { wall[FNR - 1] = $1; cpu[FNR - 1] = $3 }
    END { for (p = 0; p < 4; p++) m[p] = n % 2 ? s[p, (n - 1) / 2] : (s[p, n / 2 - 1] + s[p, n / 2]) / 2
      for (p = 0; p < 4; p++) printf "| %s | %.0f | %.2f | %.0f | %.2f | %.0f | %.2f |\n", name[p],
        m[p], m[p] / m[2], wall[p], wall[p] / wall[2], cpu[p], cpu[p] / cpu[2] }' "$work/names" "$work/loops" "$work/direct"
  echo "(target for the program as built: at most 1.10)"
fi

echo
"$bench/bench_search" --benchmark_min_time=0.2 2>/dev/null
