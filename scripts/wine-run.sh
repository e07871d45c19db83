#!/bin/sh
# The Windows build's tests start their programs through this (the build's
# cross-compiling emulator): `wine-run.sh WINE PROGRAM ARGS...`. Wine's server
# ends a few seconds after its last program, and a program that starts just
# then is turned away before any of its code runs ("wine client error:0:
# recvmsg: Connection reset by peer"). Such a program is started once more;
# every other result stands as it is.
wine=$1
shift
err=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 125
trap 'cat "$err" >&2; rm -f "$err"' EXIT
trap 'exit 143' TERM INT
"$wine" "$@" 2>"$err"
rc=$?
if [ "$rc" -ne 0 ] && grep -q '^wine client error' "$err"; then
  cat "$err" >&2
  echo "wine-run: the program could not reach the wineserver; starting it once more" >&2
  "$wine" "$@" 2>"$err"
  rc=$?
fi
exit "$rc"
