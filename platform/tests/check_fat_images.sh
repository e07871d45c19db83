#!/bin/sh
# check_fat_images.sh FSCK DIR
# The images the Windows drive test wrote into: each volume (after its 32
# filler sectors) must pass fsck.fat -n, hold one LOG.LOG, and mtools must read
# it back byte for byte as the test wrote it (DIR/log.expected).
set -e
fsck=$1 dir=$2
test -f "$dir/log.expected" || { echo "the drive test left nothing to check in $dir"; exit 1; }
for image in "$dir/fat12.img" "$dir/fat32.img"; do
  test -f "$image" || { echo "missing $image"; exit 1; }
  tail -c +16385 "$image" > "$image.vol"
  "$fsck" -n "$image.vol" || { echo "fsck.fat found faults in $image"; exit 1; }
  rm -f "$image.vol"
  MTOOLS_SKIP_CHECK=1 mtype -i "$image@@16384" ::LOG.LOG > "$image.log"
  cmp "$image.log" "$dir/log.expected" || { echo "LOG.LOG in $image differs from what was written"; exit 1; }
  entries=$(MTOOLS_SKIP_CHECK=1 mdir -a -i "$image@@16384" :: | grep -c "^LOG *LOG ")
  test "$entries" -eq 1 || { echo "$entries entries named LOG.LOG in $image"; exit 1; }
done
echo "both images pass"
