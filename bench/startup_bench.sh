#!/usr/bin/env bash
# Start-up times of the two programs a user waits for, on an emulated flash disk
# under a private Xvfb:
#   - the launcher, started from the login volume of a secure disk as a user
#     starts it, until the login program's window is shown;
#   - the manager, started in its program folder, until its window shows the
#     disk it detected (capacity and buttons).
#
#   bench/startup_bench.sh BUILD_DIR [RUNS]
#
# BUILD_DIR is a build with the windowed programs and bench/startup_probe
# (cmake --build BUILD_DIR --target startup_probe quendal Latchkin Sarvik Orvane);
# this script builds nothing. Each figure is the median of RUNS starts (default
# 10) after one start that fills the caches; see startup_probe.cpp for what
# "mapped", "painted" and "state shown" mean. Wall time: run it on a machine
# that is otherwise idle, or read the figures as upper bounds.
set -euo pipefail

BUILD=${1:?usage: startup_bench.sh BUILD_DIR [RUNS]}
RUNS=${2:-10}
BIN=$(cd "$BUILD/bin" && pwd)
for f in startup_probe quendal Latchkin Sarvik.exe Orvane; do
  if [[ ! -x $BIN/$f ]]; then
    echo "startup_bench: $BIN/$f is missing; build it first" >&2
    exit 1
  fi
done
command -v mcopy >/dev/null || { echo "startup_bench: mtools is missing (mcopy)" >&2; exit 1; }
command -v xvfb-run >/dev/null || { echo "startup_bench: xvfb-run is missing (Debian package xvfb)" >&2; exit 1; }

scratch=$(mktemp -d)
# The user's temporary folder, where the launcher unpacks, is a tmpfs on a
# desktop ($XDG_RUNTIME_DIR, /run/user/UID); /dev/shm is one too.
run=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d -p "$scratch")
chmod 700 "$run"
trap 'rm -rf "$scratch" "$run"' EXIT
disk=$scratch/disk
password=startup-bench

# A secure disk formatted from the program folder, so that its login volume
# carries this build's launcher, then replugged (logged out).
"$BIN/quendal" emulate "$disk" --sectors 400000 >/dev/null
(cd "$BIN" && printf '%s\n%s\n' "$password" "$password" |
  ./quendal --disk "$disk" format --yes --mode secure --first 50 --password-stdin >/dev/null)
"$BIN/quendal" emulate "$disk" --replug >/dev/null

# The login volume mounted on a folder, as a drive map says: the launcher is
# taken off the volume and started from there, so the drive it passes on is
# the login volume's.
IFS=$'\t' read -r letter source offset length _ < <(grep -v '^#' "$disk/drives" | head -n1)
case $source in /*) ;; *) source=$disk/$source ;; esac
mount=$scratch/mnt
mkdir -p "$mount"
MTOOLS_SKIP_CHECK=1 mcopy -n -i "$source@@$offset" ::LATCHKIN "$mount/LATCHKIN"
chmod 700 "$mount/LATCHKIN"
printf '%s\t%s\t%s\t%s\trw\t%s\n' "$letter" "$source" "$offset" "$length" "$mount" > "$scratch/drives"

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
export FLASHDISK_EMULATOR=$disk
unset QT_QPA_PLATFORM
# The launcher unpacks into the user's temporary folder and starts the login
# program from there; both run under the private X server.
(cd "$mount" && XDG_RUNTIME_DIR=$run FLASHDISK_DRIVES=$scratch/drives \
  xvfb-run -a -s "-screen 0 1024x768x24" "$BIN/startup_probe" --runs "$RUNS" -- ./LATCHKIN)
(cd "$BIN" && xvfb-run -a -s "-screen 0 1024x768x24" "$BIN/startup_probe" --runs "$RUNS" --state -- ./Orvane)
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
