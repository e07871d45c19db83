#!/usr/bin/env bash
# Decoding throughput of the launcher's LZARI decoder (through `lzari unpack`)
# beside `gzip -d` and `xz -d` on the same file, in the same run.
#
#   bench/lzari_bench.sh [LZARI_TOOL] [FILE] [REPEATS]
#
# LZARI_TOOL defaults to build/release/bin/lzari (built first if missing, in a
# Release build of its own); FILE defaults to the largest payload file that
# build holds (Sarvik.exe, Quendal.dll or SCSI.dll). Every tool decodes the file
# REPEATS times (default 10) into a scratch folder; the figure is unpacked MB
# per second of CPU time, process start-up included for all three alike.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${LZARI_BENCH_BUILD:-build/release}
TOOL=${1:-$BUILD/bin/lzari}
if [[ ! -x $TOOL ]]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD" --target lzari -j 2 >/dev/null
fi
FILE=${2:-}
if [[ -z $FILE ]]; then
  for candidate in "$BUILD"/bin/Sarvik.exe "$BUILD"/bin/Quendal.dll "$BUILD"/bin/SCSI.dll; do
    [[ -f $candidate ]] || continue
    if [[ -z $FILE ]] || (( $(stat -c %s "$candidate") > $(stat -c %s "$FILE") )); then
      FILE=$candidate
    fi
  done
fi
if [[ -z $FILE || ! -f $FILE ]]; then
  echo "lzari_bench: no file to measure (build the payload first or name one)" >&2
  exit 1
fi
REPEATS=${3:-10}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$FILE" "$scratch/plain"
"$TOOL" pack "$scratch/plain" "$scratch/plain.lz"
gzip -9 -c "$scratch/plain" > "$scratch/plain.gz"
xz -6 -c "$scratch/plain" > "$scratch/plain.xz"
size=$(stat -c %s "$scratch/plain")

# measure NAME STORED-FILE COMMAND...: runs COMMAND REPEATS times, checks the
# last output against the original, prints one line. CPU time (user + system of
# the decoding processes) is the figure to compare: on a shared, loaded machine
# wall time mostly measures the wait for a core; it is printed beside it.
measure() {
  local name=$1 stored=$2
  shift 2
  local TIMEFORMAT='%R %U %S' times
  times=$( { time for ((i = 0; i < REPEATS; i++)); do "$@"; done; } 2>&1 )
  cmp -s "$scratch/plain" "$scratch/out" || { echo "lzari_bench: $name decoded wrongly" >&2; exit 1; }
  rm -f "$scratch/out"
  awk -v n="$name" -v s="$size" -v st="$(stat -c %s "$stored")" -v r="$REPEATS" -v t="$times" \
    'BEGIN { split(t, f, " "); cpu = (f[2] + f[3]) / r; wall = f[1] / r;
             if (cpu <= 0) cpu = 0.0005;
             printf "%-8s %9d bytes stored (%5.1f%%)  cpu %7.2f ms/decode %8.1f MB/s   wall %7.2f ms\n",
                    n, st, 100 * st / s, 1000 * cpu, s / cpu / 1e6, 1000 * wall }'
}

echo "file: $FILE ($size bytes), $REPEATS decodes each"
measure "lzari" "$scratch/plain.lz" "$TOOL" unpack "$scratch/plain.lz" "$scratch/out"
measure "gzip -d" "$scratch/plain.gz" sh -c 'gzip -d -c "$0" > "$1"' "$scratch/plain.gz" "$scratch/out"
measure "xz -d" "$scratch/plain.xz" sh -c 'xz -d -c "$0" > "$1"' "$scratch/plain.xz" "$scratch/out"
