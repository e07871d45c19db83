#!/bin/sh
# make_fat_image.sh MKFS OUT "MKFS OPTIONS" KILOBYTES
# A FAT volume made by mkfs.fat behind 32 sectors of filler, as a volume sits
# in a disk after its partition table.
set -e
mkfs=$1 out=$2 options=$3 kb=$4
mkdir -p "$(dirname "$out")"
rm -f "$out.vol"
# shellcheck disable=SC2086
"$mkfs" -C -i 12345678 $options "$out.vol" "$kb" >/dev/null
head -c 16384 /dev/zero | tr '\0' '\247' > "$out.tmp"
cat "$out.vol" >> "$out.tmp"
rm -f "$out.vol"
mv "$out.tmp" "$out"
