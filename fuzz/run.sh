#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a bounded time, starting from the seed corpora
# kept in fuzz/corpus/. A crash fails the script; the input that caused it is kept under
# build/fuzz/artifacts/ and shown in hex.
# Usage: fuzz/run.sh [seconds per target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

mkdir -p build/fuzz/artifacts
status=0
for target in hex_arg_fuzz crc32_fuzz word_reverse_fuzz round_trip_fuzz inspect_fuzz; do
  exe=build/fuzz/fuzz/$target
  [ -x "$exe" ] || continue
  work=build/fuzz/corpus/$target
  mkdir -p "$work"
  log=build/fuzz/$target.log
  echo "== $target for ${seconds}s"
  if "$exe" -max_total_time="$seconds" -max_len=32768 -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=64 \
       -artifact_prefix=build/fuzz/artifacts/"$target"- -print_final_stats=1 \
       "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
    echo "$target: ${runs:-?} executions, no crash"
  else
    status=1
    echo "$target: FAILED"
    tail -n 40 "$log"
    for a in build/fuzz/artifacts/"$target"-*; do
      [ -f "$a" ] && { echo "input saved as $a:"; xxd "$a" | head -n 20; }
    done
  fi
done
exit $status
