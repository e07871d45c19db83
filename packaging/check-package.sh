#!/usr/bin/env bash
# Builds the Debian package from a build folder, unpacks it into a clean root
# and checks it as an installed system would use it: every file in its place,
# every library found, the programs run from the installed layout.
# A check reads a command's whole output before grep looks at it: with pipefail,
# "cmd | grep -q" fails whenever grep finds its line and leaves before cmd has
# written the rest (cmd dies of SIGPIPE), which a loaded machine makes likely.
set -euo pipefail
BUILD=$(cd "${1:?usage: check-package.sh BUILD_DIR}" && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "package check: $*" >&2; exit 1; }

(cd "$WORK" && cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/out" > "$WORK/cpack.log" 2>&1) ||
  { cat "$WORK/cpack.log" >&2; fail "cpack failed"; }
DEB=$(ls "$WORK"/out/*.deb 2>/dev/null | head -n1)
[ -n "$DEB" ] || fail "no package was made"
echo "package: $(basename "$DEB") ($(stat -c %s "$DEB") bytes)"

ROOT=$WORK/root
dpkg-deb -x "$DEB" "$ROOT"
depends=$(dpkg-deb -f "$DEB" Depends)
echo "depends: $depends"
for dep in libc6 libstdc++6 udev; do
  grep -q "$dep" <<<"$depends" || fail "Depends lacks $dep"
done
if [ -e "$ROOT/usr/lib/quendal/Orvane" ]; then
  for dep in libqt6widgets6 libicu; do
    grep -q "$dep" <<<"$depends" || fail "Depends lacks $dep (Orvane needs it)"
  done
fi

PROG=$ROOT/usr/lib/quendal
for f in quendal Quendal.dll QuendalRecovery.dll SCSI.dll Latchkin known-controllers.txt 1028.ini 1033.ini 1042.ini 2052.ini; do
  [ -e "$PROG/$f" ] || fail "missing usr/lib/quendal/$f"
done
for f in usr/lib/udev/rules.d/70-quendal-flashdisk.rules usr/share/man/man1/quendal.1 \
         usr/share/applications/quendal-orvane.desktop usr/share/icons/hicolor/scalable/apps/quendal.svg \
         usr/share/icons/hicolor/48x48/apps/quendal.png usr/share/metainfo/io.github.quendal.Orvane.metainfo.xml; do
  [ -e "$ROOT/$f" ] || fail "missing $f"
done
[ "$(readlink "$ROOT/usr/bin/quendal")" = "../lib/quendal/quendal" ] || fail "usr/bin/quendal is not a link to the program"
if [ -e "$PROG/Orvane" ]; then
  [ "$(readlink "$ROOT/usr/bin/orvane")" = "../lib/quendal/Orvane" ] || fail "usr/bin/orvane is not a link to the manager"
fi
# Nothing of the build tree may leak into the package.
if grep -rl --binary-files=text "$BUILD/bin" "$PROG" >/dev/null 2>&1; then
  fail "a file refers to the build folder: $(grep -rl --binary-files=text "$BUILD/bin" "$PROG" | head -n1)"
fi

# Every library is found from the installed folder alone.
for f in "$PROG"/quendal "$PROG"/Quendal.dll "$PROG"/SCSI.dll "$PROG"/Orvane "$PROG"/Sarvik.exe; do
  [ -e "$f" ] || continue
  if grep -q "not found" <<<"$(ldd "$f")"; then
    ldd "$f" >&2
    fail "$(basename "$f") has a library that is not found"
  fi
done
grep -q "SCSI.dll => $PROG/SCSI.dll" <<<"$(ldd "$PROG/Quendal.dll")" || fail "Quendal.dll does not find SCSI.dll beside itself"

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$ROOT/usr/share/applications/quendal-orvane.desktop"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net --pedantic "$ROOT/usr/share/metainfo/io.github.quendal.Orvane.metainfo.xml" >/dev/null ||
    appstreamcli validate --no-net "$ROOT/usr/share/metainfo/io.github.quendal.Orvane.metainfo.xml"
fi

# The installed programs, started through their links.
Q=$ROOT/usr/bin/quendal
grep -q "Usage: quendal" <<<"$("$Q" --help)" || fail "quendal --help"
grep -q "quendal " <<<"$("$Q" --version)" || fail "quendal --version"
DISK=$WORK/disk
"$Q" emulate "$DISK" --sectors 200000 > /dev/null || fail "quendal emulate"
FLASHDISK_EMULATOR=$DISK "$Q" info | tee "$WORK/info.txt"
grep -q "200000" "$WORK/info.txt" || fail "quendal info does not show the emulated disk's capacity"
echo "package check passed"
