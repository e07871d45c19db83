#!/usr/bin/env bash
# Runs the test suite against the emulated flash disk.
#
#   scripts/test.sh [--quick] [CTEST-ARGUMENTS...]
#
# The full run builds the Windows programs with MinGW-w64, builds everything
# under AddressSanitizer and UndefinedBehaviorSanitizer, runs the whole suite
# with CTest, then the Windows build's tests under Wine. The Windows build comes
# first so that the Linux build's login volume carries both launchers and its
# checks across both builds can run. QUENDAL_SKIP_WINDOWS=1 leaves the Windows
# build and Wine out.
#
# --quick is what a developer runs after each change: an ordinary build (no
# sanitizers, no benchmarks) in a folder of its own, built incrementally, and
# the unit and emulator tests only: no Windows build, no Wine, no boot in qemu,
# no virtual machine, no package.
#
# Every stage's time is printed as it ends and again in a summary. Arguments go
# to the Linux run of ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
if [ "${1:-}" = --quick ]; then
  quick=1
  shift
fi
JOBS=$(nproc)
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

summary=()
started=$SECONDS
# stage NAME COMMAND...: runs one stage, says how long it took and whether it
# failed; the run goes on after a failed test stage, so that one report shows
# everything.
stage() {
  local name=$1 t0=$SECONDS rc=0
  shift
  echo "=== $name"
  "$@" || rc=$?
  local took=$((SECONDS - t0)) verdict=done
  ((rc == 0)) || verdict="FAILED ($rc)"
  summary+=("$(printf '%-34s %4d:%02d  %s' "$name" $((took / 60)) $((took % 60)) "$verdict")")
  echo "=== $name: $verdict after $((took / 60)):$(printf %02d $((took % 60)))"
  return $rc
}
# ctest starts the tests it knows to be long first, from the timings of the
# build folder's earlier runs. A fresh folder has none, and a long test that
# happens to start last leaves a core idle while it runs; it gets the rough
# timings in scripts/ctest-costs.txt until it has its own (ctest's own format,
# "name runs seconds", seconds of the sanitizer build on 2 cores; a new test
# that runs for minutes belongs there).
seed_costs() {
  local costs=$1/Testing/Temporary/CTestCostData.txt
  [ -f "$costs" ] || { mkdir -p "$(dirname "$costs")" && cp scripts/ctest-costs.txt "$costs"; }
}
report() {
  local total=$((SECONDS - started))
  echo
  echo "Stage times:"
  printf '  %s\n' "${summary[@]}"
  printf '  %-34s %4d:%02d\n' "total" $((total / 60)) $((total % 60))
}

if ((quick)); then
  BUILD=${QUENDAL_QUICK_BUILD:-build/quick}
  launcher=()
  # ccache pays off for the builds after the first, which is what this tier is for.
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  configure_quick() {
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENDAL_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
  }
  status=0
  stage "configure (quick)" configure_quick || exit 1
  stage "build Linux (quick)" cmake --build "$BUILD" -j "$JOBS" || { report; exit 1; }
  seed_costs "$BUILD"
  # Tests that boot a machine (qemu, a virtual machine) or make the package are
  # for the full run, and so is the second run of the library's tests through
  # the pass-through's fake SG device (they ran once against the emulator).
  stage "ctest unit and emulator" ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" \
    --label-exclude '^(qemu|vm|package|through-passthrough)$' "$@" || status=$?
  report
  exit $status
fi

stage "dependencies" scripts/deps.sh || exit 1
BUILD=${QUENDAL_TEST_BUILD:-build/test}
WINDOWS_BUILD=${QUENDAL_WINDOWS_BUILD:-build/windows}
windows=1
[ "${QUENDAL_SKIP_WINDOWS:-0}" != 1 ] || windows=0
windows_args=()
build_windows() {
  cmake -S . -B "$WINDOWS_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
  cmake --build "$WINDOWS_BUILD" -j "$JOBS"
}
if ((windows)); then
  stage "build Windows" build_windows || { report; exit 1; }
  windows_args=(-DQUENDAL_WINDOWS_BIN="$(realpath "$WINDOWS_BUILD")/bin")
  # The login volume of the Linux build carries the Windows launcher too.
  if [ -f "$WINDOWS_BUILD/bin/PWD/Latchkin.exe" ]; then
    windows_args+=(-DQUENDAL_PEER_LAUNCHER="$(realpath "$WINDOWS_BUILD")/bin/PWD/Latchkin.exe")
  fi
fi
# The benchmarks are never run by the tests: a sanitizer build of them is time
# spent for nothing. -O1 -g1 gives the sanitizers' reports a file and line in
# every frame, in half the compile time of -O2 -g.
build_linux() {
  local flags="-O1 -g1 -DNDEBUG"
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENDAL_SANITIZE=ON \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" \
    -DQUENDAL_BUILD_BENCH=OFF "${windows_args[@]}" >/dev/null
  cmake --build "$BUILD" -j "$JOBS"
}
stage "build Linux (sanitizers)" build_linux || { report; exit 1; }
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
seed_costs "$BUILD"
stage "ctest Linux" ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" "$@" || status=$?
if ((windows)); then
  stage "ctest Windows under Wine" env QUENDAL_WINDOWS_BUILD="$WINDOWS_BUILD" scripts/wine-test.sh || status=$?
fi
report
exit $status
