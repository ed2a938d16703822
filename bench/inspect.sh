#!/usr/bin/env bash
# Times velmora-inspect reading a large image beside `cksum` reading the same file: both read
# every byte and checksum it, so cksum is the speed of simply getting through the file. The
# two alternate, RUNS times each, and the script prints the median of each, their ratio and
# velmora-inspect's peak resident memory for the report, --against and --extract. It then
# does the same for --readback on a flash dump (the image and TAIL_MIB MiB of 0xFF) beside
# cksum on the dump, and for --diff on the image and an identical copy (every byte of both
# read and compared) beside `cmp` on the same two files.
#
#   bench/inspect.sh [path/to/build/dir]      (holds velmora and velmora-inspect)
#
# Environment: APP_MIB (size of each application, default 512, so the image is about
# 1 GiB), TAIL_MIB (the erased flash after the image in the dump, default 64), RUNS (default
# 5), WORK_DIR (where the inputs, the image, its copy, the dump and the extracted parts go,
# default a new directory under ${TMPDIR:-/tmp}; it needs room for about six times
# 2 * APP_MIB).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-}
if [[ -z $build ]]; then
  for candidate in "$root/build/bench" "$root/build/release"; do
    if [[ -x $candidate/velmora-inspect && -x $candidate/velmora ]]; then
      build=$candidate
      break
    fi
  done
fi
if [[ -z $build || ! -x $build/velmora-inspect || ! -x $build/velmora ]]; then
  echo "velmora and velmora-inspect not found: build them first" \
    "(cmake --workflow --preset demo) or name their directory" >&2
  exit 2
fi
if [[ ! -x /usr/bin/time ]]; then
  echo "/usr/bin/time is missing: apt-get install time" >&2
  exit 2
fi

app_mib=${APP_MIB:-512}
tail_mib=${TAIL_MIB:-64}
runs=${RUNS:-5}
work=${WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/velmora-inspect-bench.XXXXXX")}
mkdir -p "$work"
trap 'rm -rf "$work"/boot.bin "$work"/app1.bin "$work"/app2.bin "$work"/image.bin \
      "$work"/copy.bin "$work"/dump.bin "$work"/parts "$work"/time.txt
      rmdir "$work" 2>/dev/null || true' EXIT

echo "making an image in $work from two applications of $app_mib MiB"
head -c $((6 * 1024)) /dev/urandom >"$work/boot.bin"
head -c $((app_mib * 1024 * 1024)) /dev/urandom >"$work/app1.bin"
head -c $((app_mib * 1024 * 1024)) /dev/urandom >"$work/app2.bin"
words=("$work/boot.bin" "$work/app1.bin" 0x10000000 1 "$work/app2.bin" 0x11000000 2)
"$build/velmora" "${words[@]}" "$work/image.bin" </dev/null >/dev/null
image_bytes=$(stat -c %s "$work/image.bin")
# Both contenders read the image from the page cache.
cat "$work/image.bin" >/dev/null

# Runs a command under /usr/bin/time; prints its wall time in ms and its peak RSS in KiB.
timed() {
  /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" >/dev/null
  awk '{ printf "%d %d\n", $1 * 1000, $2 }' "$work/time.txt"
}

median() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

inspect_ms=()
cksum_ms=()
peak=0
for ((i = 1; i <= runs; i++)); do
  read -r ms kib < <(timed "$build/velmora-inspect" "$work/image.bin")
  inspect_ms+=("$ms")
  peak=$((kib > peak ? kib : peak))
  read -r ms _ < <(timed cksum "$work/image.bin")
  cksum_ms+=("$ms")
  echo "run $i: velmora-inspect ${inspect_ms[-1]} ms (peak $kib KiB), cksum ${cksum_ms[-1]} ms"
done

# Peak memory of the other two ways of reading the whole image.
read -r against_ms against_kib < <(timed "$build/velmora-inspect" --against "${words[@]}" \
  "$work/image.bin")
rm -rf "$work/parts"
read -r extract_ms extract_kib < <(timed "$build/velmora-inspect" --extract "$work/parts" \
  "$work/image.bin")
rm -rf "$work/parts"

# A flash dump, and a copy of the image for --diff; all three from the page cache.
cp "$work/image.bin" "$work/copy.bin"
{
  cat "$work/image.bin"
  head -c $((tail_mib * 1024 * 1024)) /dev/zero | tr '\0' '\377'
} >"$work/dump.bin"
cat "$work/copy.bin" "$work/dump.bin" "$work/image.bin" >/dev/null

readback_ms=()
dump_cksum_ms=()
readback_peak=0
diff_ms=()
cmp_ms=()
diff_peak=0
for ((i = 1; i <= runs; i++)); do
  read -r ms kib < <(timed "$build/velmora-inspect" --readback "$work/dump.bin")
  readback_ms+=("$ms")
  readback_peak=$((kib > readback_peak ? kib : readback_peak))
  read -r ms _ < <(timed cksum "$work/dump.bin")
  dump_cksum_ms+=("$ms")
  read -r ms kib < <(timed "$build/velmora-inspect" --diff "$work/image.bin" "$work/copy.bin")
  diff_ms+=("$ms")
  diff_peak=$((kib > diff_peak ? kib : diff_peak))
  read -r ms _ < <(timed cmp "$work/image.bin" "$work/copy.bin")
  cmp_ms+=("$ms")
  echo "run $i: --readback ${readback_ms[-1]} ms, cksum ${dump_cksum_ms[-1]} ms;" \
    "--diff ${diff_ms[-1]} ms, cmp ${cmp_ms[-1]} ms"
done
read -r against_rb_ms against_rb_kib < <(timed "$build/velmora-inspect" --readback --against \
  "${words[@]}" "$work/dump.bin")

v=$(median "${inspect_ms[@]}")
c=$(median "${cksum_ms[@]}")
rb=$(median "${readback_ms[@]}")
rc=$(median "${dump_cksum_ms[@]}")
d=$(median "${diff_ms[@]}")
dc=$(median "${cmp_ms[@]}")
echo
echo "image: $image_bytes bytes; dump: $(stat -c %s "$work/dump.bin") bytes"
echo "velmora-inspect median: $v ms"
echo "cksum median:           $c ms"
awk -v v="$v" -v c="$c" 'BEGIN { printf "ratio velmora-inspect / cksum: %.2f\n", v / c }'
echo "--readback median:      $rb ms (cksum on the dump $rc ms)"
awk -v v="$rb" -v c="$rc" 'BEGIN { printf "ratio --readback / cksum: %.2f\n", v / c }'
echo "--diff median:          $d ms (cmp $dc ms)"
awk -v v="$d" -v c="$dc" 'BEGIN { printf "ratio --diff / cmp: %.2f\n", v / c }'
echo "peak resident memory: report $peak KiB, --against $against_kib KiB ($against_ms ms)," \
  "--extract $extract_kib KiB ($extract_ms ms), --readback $readback_peak KiB," \
  "--readback --against $against_rb_kib KiB ($against_rb_ms ms), --diff $diff_peak KiB"
