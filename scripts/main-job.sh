#!/usr/bin/env bash
# What the run command does once the build and the emulated disk exist: the
# manager's window when there is a display to show it on, otherwise the same
# job with quendal: format the disk as a secure disk, show it, log in, show it
# again.
set -euo pipefail
BIN=$(cd "${1:?usage: main-job.sh BIN-FOLDER}" && pwd)
DISK=${FLASHDISK_EMULATOR:?FLASHDISK_EMULATOR names the emulated disk}
export FLASHDISK_EMULATOR=$DISK

if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" && -x "$BIN/Orvane" ]]; then
  echo "Starting the manager on the emulated flash disk in $DISK"
  # The manager finds Quendal.dll and its input folders beside itself.
  cd "$BIN"
  exec ./Orvane
fi

# A fixed password, shown here on purpose: this is a demonstration disk.
DEMO_PASSWORD=quendal-demo
QUENDAL="$BIN/quendal"

# Plugging the disk in: a login left from an earlier run ends here.
"$QUENDAL" emulate "$DISK" --replug > /dev/null

echo "== Formatting the emulated flash disk in $DISK as a secure disk"
echo "   (demo password: $DEMO_PASSWORD; first part 50% of the disk)"
printf '%s\n%s\n' "$DEMO_PASSWORD" "$DEMO_PASSWORD" |
  "$QUENDAL" format --mode secure --first 50 --password-stdin --yes
echo
echo "== The disk after the format"
"$QUENDAL" info
echo
echo "== Logging in"
printf '%s\n' "$DEMO_PASSWORD" | "$QUENDAL" login --password-stdin
echo
echo "== The disk after the login"
"$QUENDAL" info
echo
if [[ -x "$BIN/Orvane" ]]; then
  echo "To work on the disk in the window, start the manager on a display:"
  echo "  FLASHDISK_EMULATOR=$DISK $BIN/Orvane"
  echo "(without a display: xvfb-run -a env FLASHDISK_EMULATOR=$DISK $BIN/Orvane)"
else
  echo "The manager's window (Orvane) is not in $BIN; once it is built"
  echo "(QUENDAL_BUILD_GUI=ON, the default), start it on a display with:"
  echo "  FLASHDISK_EMULATOR=$DISK $BIN/Orvane"
fi
echo "The login holds until the disk is replugged, as a real disk's does:"
echo "  $QUENDAL emulate $DISK --replug"
echo "logs it out (the next run of this job replugs it and formats it afresh)."
