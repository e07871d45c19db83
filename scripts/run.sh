#!/usr/bin/env bash
# The main job: builds the system, creates the emulated flash disk on first use
# and works on it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
BUILD=${QUENDAL_BUILD:-build/release}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUENDAL_BUILD_TESTS=OFF > /dev/null
cmake --build "$BUILD" -j "$(nproc)"
DISK=${FLASHDISK_EMULATOR:-$PWD/build/emulated-disk}
export FLASHDISK_EMULATOR=$DISK
BIN=$BUILD/bin
if [ ! -e "$DISK/device.conf" ]; then
  echo "Creating an emulated flash disk of 1 GiB in $DISK"
  "$BIN/quendal" emulate "$DISK" --sectors 2097152
fi
exec scripts/main-job.sh "$BIN"
