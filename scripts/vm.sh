#!/usr/bin/env bash
# A real kernel between our tools and the emulated flash disk: boots Debian's own
# kernel in qemu, serves each emulated disk folder to it as a USB flash disk
# (flashdisk-gadget, dummy_hcd, FunctionFS), attaches ordinary fixed SCSI disks
# when asked, and runs shell commands as root in the guest with the build's
# programs on PATH, so that SCSI.dll's pass-through, usb-storage, sd, sg and vfat
# all take part. See docs/vm-rig.md.
#
#   scripts/vm.sh [--build DIR] [--disk DISKDIR]... [--fixed-disk IMAGE[,VENDOR,PRODUCT,REV]]...
#                 [--timeout SECONDS] [--keep] -- 'SHELL COMMANDS'
#
# In the guest: the host's current folder is shared read-write at the same path and
# is the current folder; each disk folder likewise. FLASHDISK_EMULATOR is unset.
# QUENDAL_VM_DISKn_SG / _SD / _SD1 name disk n's generic node, its LUN 0 and LUN 1
# block nodes; QUENDAL_VM_FIXEDn_SD a fixed disk's. `vm-replug n` unplugs and plugs
# disk n in again; user `tester` (uid 1000) exists for unprivileged runs.
# Exit status: the commands' own, or 125 with a message when the guest did not boot,
# a disk did not appear, or the run timed out.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${QUENDAL_TEST_BUILD:-$ROOT/build/test}
CACHE=${QUENDAL_VM_CACHE:-$ROOT/build/vm-cache}
TIMEOUT=${QUENDAL_VM_TIMEOUT:-1200}
MEMORY=${QUENDAL_VM_MEMORY:-1536}
KEEP=0
disks=()
fixed=()
commands=""

die() {
  echo "vm.sh: $*" >&2
  exit 125
}

usage() {
  sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'
  exit "${1:-0}"
}

while (($#)); do
  case $1 in
  --build) BUILD=$2; shift 2 ;;
  --disk) disks+=("$2"); shift 2 ;;
  --fixed-disk) fixed+=("$2"); shift 2 ;;
  --timeout) TIMEOUT=$2; shift 2 ;;
  --keep) KEEP=1; shift ;;
  -h | --help) usage 0 ;;
  --) shift; commands="$*"; break ;;
  *) echo "vm.sh: unknown argument $1" >&2; usage 2 ;;
  esac
done
[ -n "$commands" ] || die "no commands given (after --)"
BUILD=$(realpath "$BUILD")
BIN=$BUILD/bin
for p in quendal Quendal.dll SCSI.dll flashdisk-gadget; do
  [ -e "$BIN/$p" ] || die "$BIN/$p is missing: build first (scripts/test.sh, or --build DIR)"
done
for i in "${!disks[@]}"; do
  d=$(realpath "${disks[$i]}") || die "no disk folder ${disks[$i]}"
  [ -f "$d/device.conf" ] || die "$d is not an emulated disk (make one with: quendal emulate DIR)"
  disks[$i]=$d
done
((${#disks[@]} <= 8)) || die "at most 8 disks"
for f in "${fixed[@]}"; do
  [ -f "${f%%,*}" ] || die "no fixed-disk image ${f%%,*}"
done
command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 is missing (scripts/deps.sh installs it)"

# --- Debian's kernel and busybox, fetched once into the cache -----------------
mkdir -p "$CACHE"
exec 9>"$CACHE/.lock"
flock 9
fetch() { # package -> .deb path in the cache
  local deb
  deb=$(ls "$CACHE"/debs/"$1"_*.deb 2>/dev/null | head -n 1 || true)
  if [ -z "$deb" ]; then
    mkdir -p "$CACHE/debs"
    chmod 0777 "$CACHE/debs" 2>/dev/null || true # apt's sandbox user writes there
    (cd "$CACHE/debs" && apt-get download "$1" >/dev/null 2>&1) ||
      { SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
        $SUDO apt-get update -qq >/dev/null && (cd "$CACHE/debs" && apt-get download "$1" >/dev/null 2>&1); } ||
      die "apt-get download $1 failed"
    deb=$(ls "$CACHE"/debs/"$1"_*.deb | head -n 1)
  fi
  echo "$deb"
}
if [ ! -e "$CACHE/ready" ]; then
  meta=$(fetch linux-image-amd64)
  kpkg=$(dpkg-deb -f "$meta" Depends | sed -n 's/^\(linux-image-[^ ,]*\).*/\1/p')
  [ -n "$kpkg" ] || die "cannot tell the kernel package from $meta"
  rm -rf "$CACHE/kernel" "$CACHE/busybox"
  dpkg-deb -x "$(fetch "$kpkg")" "$CACHE/kernel"
  dpkg-deb -x "$(fetch busybox-static)" "$CACHE/busybox"
  KVER=$(ls "$CACHE/kernel/lib/modules" | head -n 1)
  "$CACHE/busybox/bin/busybox" depmod -b "$CACHE/kernel" "$KVER"
  touch "$CACHE/ready"
fi
KVER=$(ls "$CACHE/kernel/lib/modules" | head -n 1)
VMLINUZ=$CACHE/kernel/boot/vmlinuz-$KVER
BUSYBOX=$CACHE/busybox/bin/busybox

# --- The initramfs: busybox and the modules (kept in the cache), then the build's
# programs with their libraries and the init script (made for each run). The
# kernel unpacks the two archives one after the other.
# (usb_f_mass_storage is the kernel's own gadget disk, kept for comparisons.)
MODULES="virtio_pci virtio_scsi sd_mod sr_mod sg usb-storage dummy_hcd libcomposite usb_f_fs
  usb_f_mass_storage vfat isofs nls_ascii nls_cp437 nls_iso8859-1 nls_utf8 9p 9pnet_virtio"
BASE=$CACHE/base-$KVER-$(echo $MODULES | md5sum | cut -c1-8).cpio
if [ ! -e "$BASE" ]; then
  RB=$(mktemp -d "$CACHE/base.XXXXXX")
  mkdir -p "$RB"/{bin,sbin,etc,proc,sys,dev,run,tmp,mnt,job,root,lib/modules/"$KVER"}
  cp "$BUSYBOX" "$RB/bin/busybox"
  ln -s busybox "$RB/bin/sh"
  # The modules with everything they need, by busybox's modules.dep.
  DEP=$CACHE/kernel/lib/modules/$KVER/modules.dep
  want=()
  for m in $MODULES; do
    path=$(grep -E "(^|/)(${m//[-_]/[-_]})\.ko:" "$DEP" | head -n 1 | cut -d: -f1)
    [ -n "$path" ] || die "module $m is not in the kernel package ($KVER)"
    want+=("$path")
  done
  closure=()
  add() {
    local p
    for p in "$@"; do
      [[ " ${closure[*]} " == *" $p "* ]] && continue
      closure+=("$p")
      # shellcheck disable=SC2046
      add $(grep -E "^$p:" "$DEP" | cut -d: -f2-)
    done
  }
  add "${want[@]}"
  for p in "${closure[@]}"; do
    mkdir -p "$RB/lib/modules/$KVER/$(dirname "$p")"
    cp "$CACHE/kernel/lib/modules/$KVER/$p" "$RB/lib/modules/$KVER/$p"
    grep -E "^$p:" "$DEP" >>"$RB/lib/modules/$KVER/modules.dep"
  done
  printf '%s\n' "root:x:0:0:root:/root:/bin/sh" "tester:x:1000:1000:tester:/tmp:/bin/sh" >"$RB/etc/passwd"
  printf '%s\n' "root:x:0:" "disk:x:6:" "tester:x:1000:" >"$RB/etc/group"
  (cd "$RB" && find . | "$BUSYBOX" cpio -o -H newc 2>/dev/null) >"$BASE.tmp"
  mv "$BASE.tmp" "$BASE"
  rm -rf "$RB"
fi
flock -u 9

JOB=$(mktemp -d "${TMPDIR:-/tmp}/quendal-vm.XXXXXX")
cleanup() {
  [ -n "${QEMU_PID:-}" ] && kill "$QEMU_PID" 2>/dev/null || true
  [ -n "${TAIL_PID:-}" ] && kill "$TAIL_PID" 2>/dev/null || true
  if [ "$KEEP" = 1 ]; then echo "vm.sh: kept $JOB" >&2; else rm -rf "$JOB"; fi
}
trap cleanup EXIT
RD=$JOB/root
mkdir -p "$RD"/{bin,opt/quendal/bin}
# The build's programs, beside the files they find beside themselves.
for p in quendal Quendal.dll SCSI.dll flashdisk-gadget known-controllers.txt; do cp -a "$BIN/$p" "$RD/opt/quendal/bin/"; done
for p in QuendalRecovery.dll ${QUENDAL_VM_PROGRAMS:-}; do [ -e "$BIN/$p" ] && cp -a "$BIN/$p" "$RD/opt/quendal/bin/"; done
for p in "$BIN"/*.ini; do [ -e "$p" ] && cp -a "$p" "$RD/opt/quendal/bin/"; done
for d in PWD BOOTFILES Cdrom; do [ -d "$BIN/$d" ] && cp -a "$BIN/$d" "$RD/opt/quendal/bin/"; done
# Host tools the guest runs on the gadget disk (mkfs.fat for comparisons).
for t in mkfs.fat fsck.fat ${QUENDAL_VM_TOOLS:-}; do
  p=$(command -v "$t" || true)
  [ -n "$p" ] && cp -L "$p" "$RD/opt/quendal/bin/"
done
# Every shared library they load, at its own path (Quendal.dll and SCSI.dll are
# found beside the programs through $ORIGIN).
for f in "$RD"/opt/quendal/bin/*; do
  [ -f "$f" ] && head -c 4 "$f" | grep -q ELF || continue
  ldd "$f" 2>/dev/null | grep -o '/[^ ]*' || true
done | sort -u | while read -r lib; do
  case $lib in "$BIN"/* | "$RD"/*) continue ;; esac
  mkdir -p "$RD$(dirname "$lib")"
  cp -L "$lib" "$RD$lib"
done
[ -e "$RD/lib64/ld-linux-x86-64.so.2" ] || { mkdir -p "$RD/lib64"; cp -L /lib64/ld-linux-x86-64.so.2 "$RD/lib64/"; }
cp "$ROOT/scripts/vm-replug.sh" "$RD/bin/vm-replug"
cp "$ROOT/scripts/vm-init.sh" "$RD/init"
chmod +x "$RD/init" "$RD/bin/vm-replug"
{ cat "$BASE"; (cd "$RD" && find . | "$BUSYBOX" cpio -o -H newc 2>/dev/null); } >"$JOB/initramfs.cpio"

# --- The job: what the guest mounts, serves and runs ---------------------------
SHARE=$JOB/share
mkdir -p "$SHARE"
CWD=$(pwd -P)
{
  echo "CWD='$CWD'"
  echo "DISKS='${disks[*]:-}'"
  echo "FIXED=${#fixed[@]}"
  for v in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS LANG LC_ALL LC_MESSAGES $(compgen -e | grep '^QUENDAL_' || true); do
    case $v in QUENDAL_VM_* | QUENDAL_TEST_BUILD) continue ;; esac
    [ -n "${!v+x}" ] && printf 'export %s=%q\n' "$v" "${!v}"
  done
} >"$SHARE/job.env"
printf '%s\n' "$commands" >"$SHARE/commands.sh"

qemu=(qemu-system-x86_64 -nodefaults -no-user-config -machine q35 -m "$MEMORY" -smp 1
  -display none -no-reboot
  -kernel "$VMLINUZ" -initrd "$JOB/initramfs.cpio"
  -append "console=ttyS0 loglevel=4 panic=-1 quiet block.events_dfl_poll_msecs=2000"
  -serial "file:$JOB/console.log" -chardev "file,id=out,path=$JOB/output" -serial chardev:out
  -fsdev "local,id=job,path=$SHARE,security_model=none" -device "virtio-9p-pci,fsdev=job,mount_tag=job"
  -fsdev "local,id=cwd,path=$CWD,security_model=none" -device "virtio-9p-pci,fsdev=cwd,mount_tag=cwd")
for i in "${!disks[@]}"; do
  qemu+=(-fsdev "local,id=disk$i,path=${disks[$i]},security_model=none"
    -device "virtio-9p-pci,fsdev=disk$i,mount_tag=disk$i")
done
if ((${#fixed[@]})); then
  qemu+=(-device virtio-scsi-pci,id=scsi0)
  for i in "${!fixed[@]}"; do
    IFS=, read -r image vendor product rev <<<"${fixed[$i]}"
    props="scsi-hd,bus=scsi0.0,drive=fixed$i,scsi-id=$i,lun=0,removable=off"
    [ -n "${vendor:-}" ] && props+=",vendor=$vendor"
    [ -n "${product:-}" ] && props+=",product=$product"
    [ -n "${rev:-}" ] && props+=",ver=$rev"
    qemu+=(-drive "if=none,id=fixed$i,file=$(realpath "$image"),format=raw,cache=unsafe" -device "$props")
  done
fi

# KVM where it works; on machines where it hangs, a short probe finds out once.
accel=tcg
if [ -w /dev/kvm ] && [ "${QUENDAL_VM_KVM:-auto}" != off ]; then
  if [ ! -e "$CACHE/kvm-probe" ]; then
    if timeout 20 qemu-system-x86_64 -nodefaults -machine q35,accel=kvm -m 256 -display none -no-reboot \
      -kernel "$VMLINUZ" -append "console=ttyS0 panic=-1 rdinit=/nonexistent" -serial stdio 2>/dev/null |
      grep -q "Kernel panic"; then echo kvm >"$CACHE/kvm-probe"; else echo tcg >"$CACHE/kvm-probe"; fi
  fi
  accel=$(cat "$CACHE/kvm-probe")
fi
qemu+=(-accel "$accel")

: >"$JOB/output"
start=$SECONDS
"${qemu[@]}" </dev/null >"$JOB/qemu.log" 2>&1 &
QEMU_PID=$!
tail -n +1 -f --pid="$QEMU_PID" "$JOB/output" &
TAIL_PID=$!
timed_out=0
while kill -0 "$QEMU_PID" 2>/dev/null; do
  if ((SECONDS - start > TIMEOUT)); then
    timed_out=1
    kill "$QEMU_PID" 2>/dev/null || true
    break
  fi
  sleep 1
done
wait "$QEMU_PID" 2>/dev/null || true
QEMU_PID=
wait "$TAIL_PID" 2>/dev/null || true
TAIL_PID=
elapsed=$((SECONDS - start))

explain() {
  echo "vm.sh: $1 (after ${elapsed} s, $accel). Last lines the guest printed:" >&2
  tail -n 30 "$JOB/console.log" >&2 2>/dev/null || true
  [ -s "$JOB/qemu.log" ] && { echo "vm.sh: qemu said:" >&2; tail -n 10 "$JOB/qemu.log" >&2; }
  exit 125
}
((timed_out == 0)) || explain "the guest did not finish within $TIMEOUT s"
if [ -s "$SHARE/failure" ]; then explain "$(cat "$SHARE/failure")"; fi
[ -s "$SHARE/status" ] || explain "the guest stopped before the commands ended"
[ -n "${QUENDAL_VM_VERBOSE:-}" ] && echo "vm.sh: guest ran ${elapsed} s ($accel), boot $(cat "$SHARE/boot-seconds" 2>/dev/null) s" >&2
exit "$(cat "$SHARE/status")"
