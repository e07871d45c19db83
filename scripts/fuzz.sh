#!/usr/bin/env bash
# Builds the libFuzzer programs with clang (a build of their own: fuzzer
# coverage plus AddressSanitizer and UndefinedBehaviorSanitizer over the
# library code they reach) and runs each for a bounded time over a seed corpus
# generated for the run. Nothing of the corpus is stored in the repository.
#
#   scripts/fuzz.sh                 every target, FUZZ_SECONDS (30) each
#   FUZZ_SECONDS=600 scripts/fuzz.sh config_table_fuzz
#
# A crash, a leak, a timeout or a broken property fails the run and leaves the
# input in $BUILD/findings/<target>/; replay it with `$BUILD/bin/<target> FILE`.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${QUENDAL_FUZZ_BUILD:-build/fuzz}
PER_TARGET=${FUZZ_SECONDS:-30}
ALL="config_table_fuzz ini_file_fuzz fat_copy_fuzz drive_table_fuzz lzari_fuzz"
TARGETS=${*:-$ALL}

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUENDAL_FUZZ=ON -DQUENDAL_BUILD_GUI=OFF -DQUENDAL_BUILD_TESTS=OFF -DQUENDAL_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
# shellcheck disable=SC2086
cmake --build "$BUILD" --target $TARGETS fuzz_make_corpus lzari -j "${FUZZ_JOBS:-2}"

corpus=$BUILD/corpus
findings=$BUILD/findings
rm -rf "$corpus" "$findings"
"$BUILD/bin/fuzz_make_corpus" "$corpus" >/dev/null
# The decoder's seeds are packed streams of a few small inputs.
mkdir -p "$corpus/lzari"
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
head -c 0 /dev/zero >"$seeds/empty"
head -c 5000 /dev/zero >"$seeds/zeros"
cp README.md "$seeds/text"
head -c 3000 /dev/urandom >"$seeds/noise"
for f in "$seeds"/*; do "$BUILD/bin/lzari" pack "$f" "$corpus/lzari/$(basename "$f")"; done

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=""
for t in $TARGETS; do
  name=${t%_fuzz}
  mkdir -p "$findings/$name" "$corpus/$name"
  echo "== $t: ${PER_TARGET}s"
  if ! "$BUILD/bin/$t" -max_total_time="$PER_TARGET" -timeout=20 -rss_limit_mb=2048 -max_len=16384 \
      -print_final_stats=1 -artifact_prefix="$findings/$name/" "$corpus/$name" 2>"$BUILD/$t.log"; then
    tail -n 40 "$BUILD/$t.log"
    failed="$failed $t"
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$BUILD/$t.log" | sed "s/^/   /" || true
done
if [ -n "$failed" ]; then
  echo "fuzzing found faults in:$failed (inputs in $findings)"
  exit 1
fi
echo "fuzzing: no faults in $TARGETS"
