// The tools against Debian's own kernel: each test boots the virtual machine
// once with emulated disks served as USB flash disks, runs one scenario there
// through the SCSI pass-through, usb-storage, sd, sg and vfat, and checks on the
// host what the guest left on the disks. The guest script stops at its first
// failing command and says where it was ("step: ...").
#include <gtest/gtest.h>

#include <string>

#include "FatTools.h"
#include "FlashEmulator.h"
#include "VmRig.h"

namespace {

using vmrig::Rig;

constexpr const char kTool[] = QUENDAL_BUILD_DIR "/bin/quendal";

// Guest helpers of these scenarios.
constexpr const char kSteps[] = R"SH(
BIN=/opt/quendal/bin
step() { echo "step: $*"; }
# The node of a unit's volume: its first partition where it has one.
vol() { n=${1#/dev/}; if [ -e /sys/block/$n/${n}1 ]; then echo /dev/${n}1; else echo $1; fi; }
size() { cat /sys/block/${1#/dev/}/size; }
# wait_size NODE SECTORS: the kernel shows the unit at that size. It polls the
# disk every 2 s and raises a media-change event on the device's attention; a
# desktop's disk service opens the disk on that event, and the open reads the
# new capacity. The guest has no such service: this opens the disk as it would.
wait_size() {
  i=0
  while dd if=$1 of=/dev/null bs=512 count=1 2>/dev/null; [ "$(size $1)" != "$2" ]; do
    i=$((i + 1)); [ $i -le 240 ] || { echo "$1 stays at $(size $1) sectors, not $2"; return 1; }
    sleep 0.25
  done
}
# check_unit NODE [FILES]: mounts the unit's volume with the kernel's vfat,
# compares FILES' files, writes one, unmounts, and has fsck.fat look.
check_unit() {
  v=$(vol $1); mkdir -p /mnt/u
  mount -t vfat $v /mnt/u
  [ -z "$2" ] || same_files "$2" /mnt/u
  echo "written in the guest" >/mnt/u/GUEST.TXT
  umount /mnt/u
  fsck_clean $v
  echo "unit $1 ($v): mounted, files alike, written, clean"
}
# fsck_clean NODE: fsck.fat finds nothing but the notes the device's own boot
# sectors cause on purpose (its label, the dirty bit), as on the host.
fsck_clean() {
  fsck.fat -n $1 2>&1 | grep -v -e '^fsck.fat ' -e ' files, ' -e 'Label .* not valid' -e 'removing label' \
    -e 'Dirty bit' -e 'dirty bit' -e 'Leaving filesystem' -e 'codepage' -e 'CP850' -e '^ *$' >/tmp/fsck.txt || true
  [ ! -s /tmp/fsck.txt ] || { echo "fsck.fat $1:"; cat /tmp/fsck.txt; return 1; }
}
no_kernel_errors() { e=$(kernel_errors); [ -z "$e" ] || { echo "kernel: $e"; return 1; }; }
)SH";

std::string script(const std::string &body) { return std::string(kSteps) + body; }

// Formats a disk on the host, through the emulator back end.
void hostFormat(const std::string &disk, const std::string &args, const std::string &input = "") {
    const std::string feed = input.empty() ? "" : "printf " + fattools::quote(input) + " | ";
    const auto r = fattools::run(feed + fattools::quote(kTool) + " --disk " + fattools::quote(disk) + " format " +
                                 args + " --yes");
    ASSERT_EQ(r.status, 0) << r.output;
}

// Every volume the host sees on the disk afterwards passes fsck.fat and holds
// the file the guest wrote.
void expectCleanVolumes(const std::string &disk, size_t expected) {
    const auto drives = Rig::drives(disk);
    EXPECT_EQ(drives.size(), expected) << disk;
    for (const auto &d : drives) {
        EXPECT_EQ(Rig::fsckDrive(disk, d.letter), std::vector<std::string>{}) << disk << " " << d.letter << ":";
        std::string text;
        EXPECT_TRUE(fattools::mtype(flashemu::dataImagePath(disk), d.offset, "GUEST.TXT", &text))
            << disk << " " << d.letter << ":";
        EXPECT_EQ(text, "written in the guest\n");
    }
}

} // namespace

// Every mode through the pass-through; after a replug the kernel mounts each
// unit's volume with its own vfat driver and finds the copied files.
TEST(Kernel, EveryModeFormatsThroughThePassThroughAndTheKernelMountsWhatWasBuilt) {
    Rig rig;
    const std::string a = rig.disk("a", 131072), b = rig.disk("b", 100000);
    const vmrig::Run r = rig.run(script(R"SH(
step "the disks are found by sysfs and INQUIRY"
quendal list
[ "$(quendal list | grep -c 'MORVAN FLASH DISK')" = 2 ]
fmt() { # disk mode first [stdin]
  n=$(nodes $1); set -- "$1" "$2" "$3" $n
  step "format disk $1 as $2"
  quendal --device $4 format --mode $2 --first $3 --password-stdin --yes </tmp/pw >/tmp/out || { cat /tmp/out; return 1; }
  grep -q 'Format Complete' /tmp/out
}
printf 'pw\npw\n' >/tmp/pw
for mode in zip-boot zip-boot-63 secure hdd-boot; do
  fmt 1 $mode 60
  R=$(vm-replug 1); set -- $R
  case $mode in
    secure) check_unit $2 $BIN/PWD; wait_size $3 40000; check_unit $3 ;;
    *) check_unit $2 $BIN/BOOTFILES; check_unit $3 ;;
  esac
done
fmt 0 normal 50
R=$(vm-replug 0); set -- $R
[ "$(size $2)" = 65536 ]
check_unit $2
check_unit $3
fmt 0 cdrom 50
R=$(vm-replug 0); set -- $R
step "the CD-ROM unit"
case $2 in /dev/sr*) ;; *) echo "LUN 0 is $2, not a CD-ROM drive"; exit 1 ;; esac
quendal --device $1 info | grep 'CD-ROM area'
check_unit $3
no_kernel_errors
echo "all modes done"
)SH"),
                          {a, b});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("all modes done"), std::string::npos) << r.output;
    expectCleanVolumes(b, 2);
}

// A secure disk through the kernel: the device login and the login by file
// both make the kernel show the secure area in the login volume's place,
// without a reboot and without I/O errors; a password change holds.
TEST(Kernel, LoginsShowTheSecureAreaToTheKernelAndAPasswordChangeHolds) {
    Rig rig;
    const std::string s = rig.disk("s", 100000);
    hostFormat(s, "--mode secure --first 50 --password-stdin", "old\nold\n");
    const vmrig::Run r = rig.run(script(R"SH(
R=$(nodes 0); set -- $R; SG=$1; SD=$2
check_unit $3
step "before the login the kernel sees the login volume"
[ "$(size $SD)" = 2500 ]
mkdir -p /mnt/l; mount -t vfat $SD /mnt/l
step "a wrong password changes nothing"
rc=0; echo bad | quendal --device $SG login --password-stdin || rc=$?
[ $rc = 5 ]; grep -q ' /mnt/l ' /proc/mounts
step "the device login takes the mounted login volume down first"
echo old | quendal --device $SG login --password-stdin
! grep -q ' /mnt/l ' /proc/mounts
wait_size $SD 47500
check_unit $SD

step "a new password, and the old one refused"
R=$(vm-replug 0); set -- $R; SG=$1; SD=$2
[ "$(size $SD)" = 2500 ]
printf 'old\nnew\nnew\n' | quendal --device $SG passwd --password-stdin
rc=0; echo old | quendal --device $SG login --password-stdin || rc=$?
[ $rc = 5 ]

step "an ordinary user given the sg node, as the udev rule gives it"
as_tester() { su -s /bin/sh tester -c "PATH=$PATH $*"; }
chown tester $SG
as_tester quendal --device $SG info | grep 'Login state: *logged out'
echo new | as_tester quendal --device $SG login --password-stdin
wait_size $SD 47500

step "an ordinary user without the sg node logs in by file through the mounted login volume"
R=$(vm-replug 0); set -- $R; SG=$1; SD=$2
mount -t vfat -o uid=1000 $SD /mnt/l
echo new | as_tester quendal --device $SG login --password-stdin | tee /tmp/out
grep -q 'Login file written' /tmp/out
grep -q 'stays mounted at /mnt/l' /tmp/out
step "the medium stays while the volume is mounted, and changes once it is let go"
[ "$(size $SD)" = 2500 ]
umount /mnt/l
wait_size $SD 47500

step "the same through the unmounted login volume, named by a drive map"
R=$(vm-replug 0); set -- $R; SG=$1; SD=$2
chown tester $SD
printf 'E:\t%s\t0\t0\trw\n' $SD >/tmp/drives
echo new | as_tester FLASHDISK_DRIVES=/tmp/drives quendal --device $SG login --password-stdin | grep 'Login file written'
wait_size $SD 47500

step "without any access the tool says what to do"
R=$(vm-replug 0); set -- $R; SG=$1; SD=$2
rc=0; echo new | as_tester quendal --device $SG login --password-stdin >/tmp/out 2>&1 || rc=$?
cat /tmp/out
[ $rc = 3 ]; grep -q 'docs/real-disks.md' /tmp/out
no_kernel_errors
echo "logins done"
)SH"),
                          {s});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("logins done"), std::string::npos) << r.output;
    // The guest's file on the secure area, seen on the host after a login there.
    const auto login =
        fattools::run("printf 'new\\n' | " + fattools::quote(kTool) + " --disk " + fattools::quote(s) +
                      " login --password-stdin");
    ASSERT_EQ(login.status, 0) << login.output;
    expectCleanVolumes(s, 2);
}

// What keeps a real disk safe where only a kernel can show it: a fixed disk
// that wears the controller's identity is never taken, two flash disks need a
// choice, a mounted volume goes down before the first write, a busy one stops
// the format before anything is written.
TEST(Kernel, WritesReachOnlyTheChosenFlashDiskAndNeverAVolumeInUse) {
    Rig rig;
    const std::string t = rig.disk("t", 100000), u = rig.disk("u", 60000);
    hostFormat(t, "--mode normal --first 100");
    hostFormat(u, "--mode normal --first 100");
    const std::string fixed = rig.scratch() / "fixed.img";
    ASSERT_EQ(fattools::run("truncate -s 64M " + fattools::quote(fixed) + " && mkfs.fat -F 16 " +
                            fattools::quote(fixed))
                  .status,
              0);
    const std::string before = fattools::run("md5sum < " + fattools::quote(fixed)).output;
    const vmrig::Run r = rig.run(script(R"SH(
step "a fixed disk wearing the controller's identity is never taken"
F=$QUENDAL_VM_FIXED0_SD
cat /sys/block/${F#/dev/}/device/vendor
[ "$(quendal list | grep -c 'MORVAN FLASH DISK')" = 2 ]
rc=0; quendal --device $F format --yes >/tmp/out 2>&1 || rc=$?
cat /tmp/out; [ $rc = 3 ]; grep -q 'not a USB disk' /tmp/out

step "two flash disks: a format without --device refuses"
rc=0; quendal format --yes >/tmp/out 2>&1 || rc=$?
cat /tmp/out; [ $rc = 2 ]; grep -q '2 flash disks are plugged in' /tmp/out

step "a busy volume stops the format before anything is written"
R=$(nodes 0); set -- $R; SG=$1; SD=$2
mkdir -p /mnt/t; mount -t vfat $SD /mnt/t
echo "kept" >/mnt/t/KEPT.TXT; sync
(cd /mnt/t && exec sleep 600) & holder=$!
rc=0; quendal --device $SG format --yes >/tmp/out 2>&1 || rc=$?
cat /tmp/out; [ $rc = 7 ]
grep -q ' /mnt/t ' /proc/mounts
kill $holder; wait $holder || true
umount /mnt/t

step "a mounted volume is unmounted before the first write"
R=$(nodes 1); set -- $R; SG=$1; SD=$2
mkdir -p /mnt/u; mount -t vfat $SD /mnt/u
quendal --device $SG format --first 50 --yes | tail -1
! grep -q ' /mnt/u ' /proc/mounts
R=$(vm-replug 1); set -- $R
check_unit $2
check_unit $3
no_kernel_errors
echo "safety done"
)SH"),
                          {t, u}, {fixed + ",MORVAN,FLASH DISK,2.00"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("safety done"), std::string::npos) << r.output;
    EXPECT_EQ(fattools::run("md5sum < " + fattools::quote(fixed)).output, before) << "the fixed disk was written";
    // The refused format left the disk as it was, the guest's file with it.
    std::string kept;
    const auto drives = Rig::drives(t);
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_TRUE(fattools::mtype(flashemu::dataImagePath(t), drives[0].offset, "KEPT.TXT", &kept));
    EXPECT_EQ(kept, "kept\n");
    expectCleanVolumes(u, 2);
}

// A password change cut twice, each time right after the table sector of a
// copy, through the kernel: the table saved before the first cut brings the
// disk back with its password and its volumes as they were.
TEST(Kernel, ATableCutTwiceComesBackFromItsSavedCopy) {
    Rig rig;
    const std::string s = rig.disk("s", 60000);
    hostFormat(s, "--mode secure --first 50 --password-stdin", "old\nold\n");
    // The fault plan lives in the disk's device.conf, which the guest sees
    // through its share; the gadget reads it afresh for every command.
    std::string body = "CONF=" + fattools::quote(s + "/device.conf") + "\n";
    body += R"SH(
# cut_next KINDHEX N: the N-th write of that kind from now on fails once, as a
# pulled disk would; no plan with no arguments.
cut_next() {
  sed -i "s/^fail_write_kind=.*/fail_write_kind=$1/; s/^fail_write_nth=.*/fail_write_nth=${2:-0}/;
          s/^writes_of_kind=.*/writes_of_kind=0/" "$CONF"
  grep -q "^fail_write_kind=$1\$" "$CONF"
}
INFO_TABLE=696e666f2d7461626c65
passwd_cut() {
  rc=0; printf 'old\nnew\nnew\n' | quendal --device $SG passwd --password-stdin >/tmp/out 2>&1 || rc=$?
  cat /tmp/out; [ $rc = 1 ]
  cut_next ""
}
R=$(nodes 0); set -- $R; SG=$1
check_unit $2
check_unit $3

step "the first cut: the old password stays, one copy is left"
cut_next $INFO_TABLE 1
passwd_cut
grep -q 'old password' /tmp/out
R=$(vm-replug 0); set -- $R; SG=$1
quendal --device $SG info | tee /tmp/info
grep -q 'one copy (no backup)' /tmp/info

step "the second cut"
cut_next $INFO_TABLE 1
passwd_cut
R=$(vm-replug 0); set -- $R; SG=$1

step "the table saved before the first cut goes back"
saved=$(ls $HOME/.local/share/quendal/tables/*.table | sort | head -n 1)
quendal --device $SG table restore "$saved" --yes | tee /tmp/out
grep -q 'one copy left' /tmp/out
R=$(vm-replug 0); set -- $R; SG=$1
quendal --device $SG info | tee /tmp/info
grep -q 'primary and backup copy' /tmp/info
echo old | quendal --device $SG login --password-stdin
R=$(vm-replug 0); set -- $R
no_kernel_errors
echo "restore done"
)SH";
    const vmrig::Run r = rig.run(script(body), {s});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("restore done"), std::string::npos) << r.output;
    // The login volume and the public area, as the guest left them before the cuts.
    expectCleanVolumes(s, 2);
}
