#!/usr/bin/env bash
# A format through a real kernel beside mkfs.fat on the same disk, in one run
# of the virtual machine (scripts/vm.sh).
#
#   bench/vm_format_bench.sh [BUILD_DIR] [SECTORS]
#
# Makes an emulated disk of SECTORS (default 2,000,000), serves it to the guest
# kernel as a USB flash disk and formats it there through the pass-through as
# one normal area, every command logged. After a replug, mkfs.fat makes the same
# file system (FAT type, cluster size, reserved and hidden sectors, FAT count,
# root entries read off our boot sector) on the same block device. Prints both
# times (guest clock, 10 ms steps), their ratio, and for our format the data
# commands and bytes sent against the system area of the volume (boot region,
# FATs, root directory), which any format has to write, and the vendor commands.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(realpath "${1:-$ROOT/build/test}")
SECTORS=${2:-2000000}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vm-format-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
"$BUILD/bin/quendal" emulate "$WORK/disk" --sectors "$SECTORS" >/dev/null

cat >"$WORK/guest.sh" <<'GUEST'
set -e
up() { cut -d" " -f1 /proc/uptime; }
u() { od -An -tu$3 -j$2 -N$3 $1 | tr -d " "; }
SG=$QUENDAL_VM_DISK0_SG
a=$(up)
QUENDAL_SCSI_LOG=/tmp/format.log quendal --device $SG format --yes >/dev/null
b=$(up)
set -- $(vm-replug 0)
V=$2
[ -e /sys/block/${2#/dev/}/${2#/dev/}1 ] && V=${2}1
spc=$(u $V 13 1); res=$(u $V 14 2); fats=$(u $V 16 1); roots=$(u $V 17 2)
f16=$(u $V 22 2); hidden=$(u $V 28 4); f32=$(u $V 36 4)
if [ "$f16" != 0 ]; then fat=16; fsz=$f16; opts="-r $roots"; else fat=32; fsz=$f32; opts=""; fi
system=$(( (res + fats * fsz + roots * 32 / 512) * 512 ))
c=$(up)
mkfs.fat -F $fat -s $spc -R $res -f $fats -h $hidden $opts $V >/dev/null 2>&1
sync
d=$(up)
awk -v ours="$a $b" -v mkfs="$c $d" -v sysarea=$system -v fat=$fat '
  /cdb=/ {
    for (i = 1; i <= NF; i++) if ($i ~ /^cdb=/) { op = substr($i, 5); addr = $(i + 2) $(i + 3) $(i + 4) $(i + 5) }
    len = 0
    for (i = 1; i <= NF; i++) if ($i ~ /^len=/) len = substr($i, 5) + 0
    vendor = (addr >= "10000000")
    if (op == "2A" && !vendor) { dw++; db += len }
    else if (op == "28" && !vendor) { dr++; rb += len }
    else if (vendor && op == "2A") vw++
    else if (vendor) vr++
    else other++
  }
  END {
    split(ours, o, " "); split(mkfs, m, " ")
    t1 = o[2] - o[1]; t2 = m[2] - m[1]
    printf "format through the pass-through: %.2f s; mkfs.fat (FAT%s) on the same device: %.2f s; ratio %.2f\n", t1, fat, t2, (t2 > 0 ? t1 / t2 : 0)
    printf "data writes: %d commands, %d bytes; the system area of the volume: %d bytes (%.2fx)\n", dw, db, sysarea, db / sysarea
    printf "data reads: %d commands, %d bytes; vendor commands: %d reads, %d writes; other: %d\n", dr, rb, vr, vw, other
  }' /tmp/format.log
GUEST
cd "$WORK"
"$ROOT/scripts/vm.sh" --build "$BUILD" --disk disk -- 'sh guest.sh'
