#!/bin/sh
# check_fat_images.sh FSCK DIR
# The images the Windows drive test wrote into: each volume (after its 32
# filler sectors) must pass fsck.fat -n, and mtools must find the file the test
# left there, LOG.LOG of 100 bytes, and read all of it.
set -e
fsck=$1 dir=$2
for image in "$dir/fat12.img" "$dir/fat32.img"; do
  test -f "$image" || { echo "missing $image: the drive test did not write it"; exit 1; }
  tail -c +16385 "$image" > "$image.vol"
  "$fsck" -n "$image.vol" || { echo "fsck.fat found faults in $image"; exit 1; }
  rm -f "$image.vol"
  size=$(MTOOLS_SKIP_CHECK=1 mtype -i "$image@@16384" ::LOG.LOG | wc -c)
  test "$size" -eq 100 || { echo "LOG.LOG in $image reads $size bytes, not 100"; exit 1; }
  MTOOLS_SKIP_CHECK=1 mdir -a -i "$image@@16384" :: | grep -q "^LOG *LOG *100 " ||
    { echo "no single LOG.LOG entry of 100 bytes in $image"; exit 1; }
done
echo "both images pass"
