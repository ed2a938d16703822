#!/usr/bin/env bash
# Times velmora composing two large random applications (APP2 in the high window, so it is
# reversed) and a bootloader, beside `cat` writing the same three files into one file: the
# speed of simply copying the bytes. For each size of application the two alternate, RUNS
# times each after one untimed pair, every run starting with the old output removed and
# `sync` run; the script prints each side's median, minimum and maximum, the ratio of the
# medians, the spread of each (maximum over minimum) and velmora's peak resident memory.
#
#   bench/compose.sh [path/to/velmora]
#
# Environment: APP_MIB (sizes of each application in MiB, default "512 950": a 1 GiB and a
# 1.9 GiB image), RUNS (default 9), WORK_DIR (where the inputs and outputs go, default a new
# directory under ${TMPDIR:-/tmp}; it needs room for about four times the largest APP_MIB).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
velmora=${1:-}
if [[ -z $velmora ]]; then
  for candidate in "$root/build/bench/velmora" "$root/build/release/velmora"; do
    if [[ -x $candidate ]]; then
      velmora=$candidate
      break
    fi
  done
fi
if [[ -z $velmora || ! -x $velmora ]]; then
  echo "velmora not found: build it first (cmake --workflow --preset demo) or name it" >&2
  exit 2
fi
if [[ ! -x /usr/bin/time ]]; then
  echo "/usr/bin/time is missing: apt-get install time" >&2
  exit 2
fi

sizes=${APP_MIB:-512 950}
runs=${RUNS:-9}
work=${WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench.XXXXXX")}
mkdir -p "$work"
trap 'rm -f "$work"/boot.bin "$work"/app1.bin "$work"/app2.bin "$work"/out.bin "$work"/rss.txt;
      rmdir "$work" 2>/dev/null || true' EXIT

now_ns() { date +%s%N; }

# Each run starts with no output file and nothing left to write back from the run before.
fresh_start() {
  rm -f "$work/out.bin"
  sync
}

run_velmora() {
  /usr/bin/time -v -o "$work/rss.txt" "$velmora" "$work/boot.bin" "$work/app1.bin" 0x10000000 1 \
    "$work/app2.bin" 0x11000000 2 "$work/out.bin" </dev/null >/dev/null
}

run_cat() {
  cat "$work/boot.bin" "$work/app1.bin" "$work/app2.bin" >"$work/out.bin"
}

median() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
least() { printf '%s\n' "$@" | sort -n | head -1; }
most() { printf '%s\n' "$@" | sort -n | tail -1; }

for app_mib in $sizes; do
  echo "== two applications of $app_mib MiB and a bootloader, in $work"
  head -c $((6 * 1024)) /dev/urandom >"$work/boot.bin"
  head -c $((app_mib * 1024 * 1024)) /dev/urandom >"$work/app1.bin"
  head -c $((app_mib * 1024 * 1024)) /dev/urandom >"$work/app2.bin"
  # Both contenders read the inputs from the page cache.
  cat "$work/boot.bin" "$work/app1.bin" "$work/app2.bin" >/dev/null

  # The first run after the inputs are made brings back into use memory that has lain free
  # (under a hypervisor, memory the host may have taken back), whichever program it is: one
  # pair goes first untimed, so that velmora, which always runs first, does not pay for both.
  fresh_start
  run_velmora
  fresh_start
  run_cat

  velmora_ms=()
  cat_ms=()
  rss_kib=()
  for ((i = 1; i <= runs; i++)); do
    fresh_start
    start=$(now_ns)
    run_velmora
    velmora_ms+=($((($(now_ns) - start) / 1000000)))
    rss_kib+=("$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/rss.txt")")
    image_bytes=$(stat -c %s "$work/out.bin")

    fresh_start
    start=$(now_ns)
    run_cat
    cat_ms+=($((($(now_ns) - start) / 1000000)))
    echo "run $i: velmora ${velmora_ms[-1]} ms (peak ${rss_kib[-1]} KiB), cat ${cat_ms[-1]} ms"
  done
  rm -f "$work/out.bin"

  v=$(median "${velmora_ms[@]}")
  c=$(median "${cat_ms[@]}")
  vmin=$(least "${velmora_ms[@]}")
  vmax=$(most "${velmora_ms[@]}")
  cmin=$(least "${cat_ms[@]}")
  cmax=$(most "${cat_ms[@]}")
  peak=$(most "${rss_kib[@]}")
  echo "image of $((image_bytes / 1024)) KiB, $runs runs each"
  echo "velmora median $v ms, min $vmin ms, max $vmax ms"
  echo "cat     median $c ms, min $cmin ms, max $cmax ms"
  awk -v v="$v" -v c="$c" -v vn="$vmin" -v vx="$vmax" -v cn="$cmin" -v cx="$cmax" 'BEGIN {
    printf "ratio of medians velmora / cat: %.2f\n", v / c
    printf "spread (max / min): velmora %.2f, cat %.2f\n", vx / vn, cx / cn }'
  echo "velmora peak resident memory: $peak KiB"
  echo
done
