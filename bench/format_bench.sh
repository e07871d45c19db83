#!/usr/bin/env bash
# Time and peak memory of a whole FormatDisk beside mkfs.fat, in the same run.
#
#   bench/format_bench.sh BUILD_DIR [SCRATCH_DIR]
#
# Formats an emulated flash disk of 9,000,000 sectors as two areas, 8,000,000
# sectors (FAT32) and 1,000,000 sectors (FAT16), with bench/format_host from
# BUILD_DIR/bin (built beforehand; this script builds nothing). Then makes the
# same two file systems with mkfs.fat on sparse image files of those sizes.
# Wall time is the mean of REPEATS (default 5) runs (mkfs.fat: both file systems
# per run); peak resident memory comes from /usr/bin/time -v (mkfs.fat: the
# larger of its two runs). The
# ratios are ours / mkfs.fat; the goals are time <= 1.5 and memory <= 1. The
# host is also measured up to the point where the format would begin, which
# shows what loading the C++ runtime, Quendal.dll and SCSI.dll costs apart
# from the format itself.
set -euo pipefail

BUILD=${1:?usage: format_bench.sh BUILD_DIR [SCRATCH_DIR]}
HOST=$BUILD/bin/format_host
MKFS=$(command -v mkfs.fat || echo /usr/sbin/mkfs.fat)
if [[ ! -x $HOST ]]; then
  echo "format_bench: $HOST is missing; build the target format_host first" >&2
  exit 1
fi
if [[ ! -x /usr/bin/time ]]; then
  echo "format_bench: /usr/bin/time is missing (Debian package time)" >&2
  exit 1
fi

scratch=${2:-$(mktemp -d)}
mkdir -p "$scratch"
cleanup() { rm -rf "$scratch/disk" "$scratch/fat32.img" "$scratch/fat16.img" "$scratch"/*.time; }
trap cleanup EXIT

# Peak kilobytes out of a /usr/bin/time -v report.
peak_kb() { awk -F': ' '/Maximum resident set size/ { print $2 }' "$1"; }

REPEATS=${REPEATS:-5}

# Mean wall seconds of REPEATS runs of a command (nanosecond clock; the 10 ms
# steps of /usr/bin/time are too coarse for runs this short).
mean_seconds() {
  local total=0 t0 t1
  for ((i = 0; i < REPEATS; i++)); do
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s%N)
    total=$((total + t1 - t0))
  done
  awk -v t="$total" -v n="$REPEATS" 'BEGIN { printf "%.4f", t / n / 1e9 }'
}

"$HOST" create "$scratch/disk" 9000000
export FLASHDISK_EMULATOR=$scratch/disk
# Peak memory of one run each.
/usr/bin/time -v -o "$scratch/ours.time" "$HOST" format 0 8000000 1000000
# The same host up to the point where a format would start (library and
# transport loaded, disk opened, table read), refused at once: what the format
# itself adds is the difference.
/usr/bin/time -v -o "$scratch/base.time" "$HOST" format 0 0 2>/dev/null || true
truncate -s $((8000000 * 512)) "$scratch/fat32.img"
truncate -s $((1000000 * 512)) "$scratch/fat16.img"
/usr/bin/time -v -o "$scratch/mkfs32.time" "$MKFS" -F 32 -S 512 -s 8 -f 2 "$scratch/fat32.img" >/dev/null
/usr/bin/time -v -o "$scratch/mkfs16.time" "$MKFS" -F 16 -S 512 -s 16 -f 2 "$scratch/fat16.img" >/dev/null

mkfs_both() {
  "$MKFS" -F 32 -S 512 -s 8 -f 2 "$scratch/fat32.img" && "$MKFS" -F 16 -S 512 -s 16 -f 2 "$scratch/fat16.img"
}
ours_s=$(mean_seconds "$HOST" format 0 8000000 1000000)
base_s=$(mean_seconds "$HOST" format 0 0)
mkfs_s=$(mean_seconds mkfs_both)

echo "phases of one FormatDisk (ms since the call; the reset and closing phases"
echo "are paced by the specified 1 ms pauses between reports):"
FORMAT_HOST_PHASES=1 "$HOST" format 0 8000000 1000000 2>&1 >/dev/null | sed 's/^/  /'

ours_kb=$(peak_kb "$scratch/ours.time")
base_kb=$(peak_kb "$scratch/base.time")
m32_kb=$(peak_kb "$scratch/mkfs32.time")
m16_kb=$(peak_kb "$scratch/mkfs16.time")
mkfs_kb=$(( m32_kb > m16_kb ? m32_kb : m16_kb ))
echo "mean of $REPEATS runs each"
printf '%-26s %10s %14s\n' "" "time (s)" "peak RSS (KB)"
printf '%-26s %10s %14s\n' "FormatDisk (both areas)" "$ours_s" "$ours_kb"
printf '%-26s %10s %14s\n' "  host without the format" "$base_s" "$base_kb"
printf '%-26s %10s %14s\n' "mkfs.fat (both; larger)" "$mkfs_s" "$mkfs_kb"
awk -v a="$ours_s" -v b="$mkfs_s" -v c="$ours_kb" -v d="$mkfs_kb" 'BEGIN {
  printf "%-26s %10.2f %14.2f   (goal: time <= 1.50, memory <= 1.00)\n", "ratio FormatDisk/mkfs.fat", (b > 0 ? a / b : 0), (d > 0 ? c / d : 0) }'
