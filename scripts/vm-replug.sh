#!/bin/sh
# In the guest of scripts/vm.sh: unplugs emulated disk N (default 0) and plugs it
# in again, as a user pulling the disk out, and waits until the kernel has it back.
# Prints the disk's nodes afterwards: generic node, LUN 0 and LUN 1 block nodes.
n=${1:-0}
. /run/vm-wait-disk
wait_disk "$n" || exit 1
old=$(eval echo "\$QUENDAL_VM_DISK${n}_SG")
kill -HUP "$(cat /run/gadget$n.pid)" || exit 1
i=0
while [ -e "/sys/class/scsi_generic/${old#/dev/}" ]; do
  i=$((i + 1))
  [ $i -gt 600 ] && { echo "vm-replug: disk $n was not unplugged" >&2; exit 1; }
  sleep 0.1
done
wait_disk "$n" || { echo "vm-replug: disk $n did not come back" >&2; exit 1; }
eval echo "\$QUENDAL_VM_DISK${n}_SG \$QUENDAL_VM_DISK${n}_SD \$QUENDAL_VM_DISK${n}_SD1"
