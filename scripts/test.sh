#!/usr/bin/env bash
# Builds everything under AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the whole test suite against the emulated flash disk; then builds the
# Windows programs with MinGW-w64 and runs their tests under Wine. The Windows
# build comes first so that the Linux build's login volume carries both
# launchers and its checks across both builds can run. QUENDAL_SKIP_WINDOWS=1
# leaves the Windows build out. Arguments go to the Linux run of ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
BUILD=${QUENDAL_TEST_BUILD:-build/test}
WINDOWS_BUILD=${QUENDAL_WINDOWS_BUILD:-build/windows}
windows_args=()
if [ "${QUENDAL_SKIP_WINDOWS:-0}" != 1 ]; then
  cmake -S . -B "$WINDOWS_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
  cmake --build "$WINDOWS_BUILD" -j "$(nproc)"
  windows_args=(-DQUENDAL_WINDOWS_BIN="$(realpath "$WINDOWS_BUILD")/bin")
  # The login volume of the Linux build carries the Windows launcher too.
  if [ -f "$WINDOWS_BUILD/bin/PWD/Latchkin.exe" ]; then
    windows_args+=(-DQUENDAL_PEER_LAUNCHER="$(realpath "$WINDOWS_BUILD")/bin/PWD/Latchkin.exe")
  fi
fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENDAL_SANITIZE=ON "${windows_args[@]}"
cmake --build "$BUILD" -j "$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
status=0
ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)" "$@" || status=$?
if [ "${QUENDAL_SKIP_WINDOWS:-0}" != 1 ]; then
  QUENDAL_WINDOWS_BUILD="$WINDOWS_BUILD" scripts/wine-test.sh || status=$?
fi
exit $status
