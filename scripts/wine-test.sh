#!/usr/bin/env bash
# Runs the Windows build's tests under Wine (the build itself is made by
# scripts/test.sh, or by hand with cmake/mingw-w64-x86_64.cmake). Windows
# programs that open windows need an X server: the run goes under xvfb-run.
# Wine keeps its state in a prefix inside the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${QUENDAL_WINDOWS_BUILD:-build/windows}
export WINEPREFIX=${WINEPREFIX:-$(realpath "$BUILD")/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs on a headless machine.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export LANG=${LANG:-en_US.UTF-8}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi
status=0
xvfb-run -a -s "-screen 0 1024x768x24" ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)" "$@" || status=$?
wineserver -k 2>/dev/null || true
exit $status
