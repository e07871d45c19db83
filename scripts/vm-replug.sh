#!/bin/sh
# In the guest of scripts/vm.sh: unplugs emulated disk N (default 0) and plugs it
# in again, as a user pulling the disk out, and waits until the kernel has it back.
# Prints the disk's nodes afterwards: generic node, LUN 0 and LUN 1 block nodes.
n=${1:-0}
. /run/vm-wait-disk
wait_disk "$n" || exit 1
old=$(eval echo "\$QUENDAL_VM_DISK${n}_SG")
# What the gadget said and where its threads wait, for a disk that hangs.
report() {
  lines=5; [ -z "$QUENDAL_GADGET_VERBOSE" ] || lines=80
  tail -n $lines /run/gadget$n.log >&2
  for t in /proc/$(cat /run/gadget$n.pid)/task/*; do echo "thread $t: $(cat $t/wchan)" >&2; done
  dmesg | tail -n 12 >&2
}
# The old nodes stay while the kernel is still busy with the old device (an
# error recovery under way): the signal is sent again, and the note says so.
i=0
kill -HUP "$(cat /run/gadget$n.pid)" || exit 1
while [ -e "/sys/class/scsi_generic/${old#/dev/}" ]; do
  i=$((i + 1))
  [ $i -gt 900 ] && { echo "vm-replug: disk $n was not unplugged" >&2; report; exit 1; }
  if [ $((i % 150)) = 0 ]; then
    echo "vm-replug: disk $n still plugged in after $((i / 10)) s; signalling its gadget again" >&2
    kill -HUP "$(cat /run/gadget$n.pid)" || exit 1
  fi
  sleep 0.1
done
wait_disk "$n" || { echo "vm-replug: disk $n did not come back" >&2; report; exit 1; }
eval echo "\$QUENDAL_VM_DISK${n}_SG \$QUENDAL_VM_DISK${n}_SD \$QUENDAL_VM_DISK${n}_SD1"
