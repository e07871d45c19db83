#!/bin/sh
# The guest's first process (scripts/vm.sh puts it into the initramfs as /init):
# mounts the shared folders, loads the drivers, serves each emulated disk as a USB
# flash disk, waits until the kernel has made its nodes, runs the job's commands
# and powers the machine off. A failure before the commands is written to
# /job/failure for vm.sh to report.
export PATH=/opt/quendal/bin:/bin:/sbin
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s /bin
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
mount -t tmpfs run /run
mount -t tmpfs tmp /tmp
chmod 1777 /tmp

# Stages with the uptime go to the console log, which vm.sh shows when a run fails.
stage() { echo "vm-init: $* at $(cut -d' ' -f1 /proc/uptime) s" >/dev/console; }

fail() {
  echo "$*" >/job/failure
  echo "vm-init: $*" >&2
  sync
  poweroff -f
}

for m in virtio_pci 9pnet_virtio 9p; do modprobe "$m" || true; done
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 job /job || { echo "vm-init: no job share" >&2; poweroff -f; }
. /job/job.env
stage "shares mounted"

# Fixed disks first, so they take the lower SCSI host numbers as a machine's own do.
modprobe virtio_scsi
for m in sd_mod sr_mod sg usb-storage libcomposite usb_f_fs vfat isofs nls_ascii nls_cp437 nls_iso8859-1 nls_utf8; do
  modprobe "$m" || fail "cannot load module $m"
done
mkdir -p "$CWD" && mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 cwd "$CWD" ||
  fail "cannot mount the host folder $CWD"
# Only the guest touches a disk folder while it runs, so its pages are cached
# here (written back by the sync before power-off): a command then costs the
# gadget no round trips to the host for the disk's state.
n=0
for d in $DISKS; do
  mkdir -p "$d" && mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose "disk$n" "$d" ||
    fail "cannot mount the disk folder $d"
  n=$((n + 1))
done
DISK_COUNT=$n
stage "drivers loaded"
modprobe dummy_hcd num=$((DISK_COUNT > 0 ? DISK_COUNT : 1)) || fail "cannot load dummy_hcd"
mount -t configfs none /sys/kernel/config 2>/dev/null

# wait_disk N: waits until disk N's LUN 0 has its nodes, and exports them.
cat >/run/vm-wait-disk <<'EOF'
wait_disk() {
  i=0
  while :; do
    for dev in /sys/bus/scsi/devices/*:0:0:0; do
      case $(readlink -f "$dev") in */dummy_hcd.$1/*) ;; *) continue ;; esac
      sd=$(ls "$dev/block" 2>/dev/null | head -n 1)
      sg=$(ls "$dev/scsi_generic" 2>/dev/null | head -n 1)
      [ -n "$sd" ] && [ -n "$sg" ] && [ -e "/dev/$sd" ] && [ -e "/dev/$sg" ] || continue
      # The second unit (area 2) is always there, with or without a medium:
      # wait for it too, or a program may meet the disk half made.
      lun1=${dev%:0}:1
      # sd makes its block node with or without a medium.
      [ -n "$(ls "$lun1/scsi_generic" 2>/dev/null)" ] || continue
      sd1=$(ls "$lun1/block" 2>/dev/null | head -n 1)
      [ -n "$sd1" ] && [ -e "/dev/$sd1" ] || continue
      # The nodes come before the kernel has read the partition table; a read
      # opens the disk, which waits for that scan.
      for b in $sd $sd1; do dd if=/dev/$b of=/dev/null bs=512 count=1 2>/dev/null || true; done
      export QUENDAL_VM_DISK$1_SG=/dev/$sg QUENDAL_VM_DISK$1_SD=/dev/$sd QUENDAL_VM_DISK$1_SD1=${sd1:+/dev/$sd1}
      return 0
    done
    i=$((i + 1))
    [ $i -gt 1200 ] && return 1
    sleep 0.1
  done
}
EOF
. /run/vm-wait-disk

n=0
for d in $DISKS; do
  flashdisk-gadget ${QUENDAL_GADGET_VERBOSE:+--verbose} --disk "$d" --udc "dummy_udc.$n" --name "disk$n" >/run/gadget$n.log 2>&1 &
  echo $! >/run/gadget$n.pid
  n=$((n + 1))
done
n=0
while [ $n -lt "$DISK_COUNT" ]; do
  wait_disk $n || fail "disk $n ($(echo $DISKS | cut -d' ' -f$((n + 1)))) did not appear: $(tail -n 5 /run/gadget$n.log)"
  n=$((n + 1))
done
n=0
while [ $n -lt "$FIXED" ]; do
  i=0
  while [ ! -d /sys/bus/scsi/devices/0:0:$n:0/block ]; do
    i=$((i + 1))
    [ $i -gt 600 ] && fail "fixed disk $n did not appear"
    sleep 0.1
  done
  export QUENDAL_VM_FIXED${n}_SD=/dev/$(ls /sys/bus/scsi/devices/0:0:$n:0/block)
  n=$((n + 1))
done

stage "disks ready"
cut -d' ' -f1 /proc/uptime >/job/boot-seconds
stty -F /dev/ttyS1 raw -echo 2>/dev/null
unset FLASHDISK_EMULATOR FLASHDISK_DRIVES
export HOME=/root
cd "$CWD"
sh /job/commands.sh </dev/null >/dev/ttyS1 2>&1
echo $? >/job/status.tmp
stage "commands ended"

# The gadgets let go of their disk folders before the machine goes off (a replug
# starts a new gadget process under the same pid file).
for p in /run/gadget*.pid; do [ -e "$p" ] && kill "$(cat "$p")" 2>/dev/null; done
wait
mv /job/status.tmp /job/status
sync
poweroff -f
