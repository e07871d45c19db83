// The virtual-machine rig of the kernel tests: emulated disks made on the host,
// served by scripts/vm.sh to Debian's own kernel as USB flash disks, a guest
// script run as root there, and the disks read back on the host afterwards by
// tools nobody here wrote. Each run is one boot, so a test packs one scenario
// into one script and says in its output where it got to.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FatTools.h"
#include "FlashEmulator.h"
#include "file_io.h"
#include "platform/Drives.h"
#include "TestProcess.h"

namespace vmrig {

struct Run {
    int status = -1;
    std::string output;
};

class Rig {
public:
    Rig() : scratch_("quendal-vm-test") {}

    const testsupport::ScratchDir &scratch() const { return scratch_; }

    // A factory-fresh emulated disk in the scratch folder.
    std::string disk(const std::string &name, uint32_t sectors, flashemu::DiskOptions options = {}) {
        options.sectors = sectors;
        std::string dir = scratch_ / name;
        std::string error;
        if (!flashemu::createDisk(dir, options, &error)) ADD_FAILURE() << "cannot make " << dir << ": " << error;
        return dir;
    }

    // Boots the guest with the disks (and fixed disks: "IMAGE[,VENDOR,PRODUCT,REV]")
    // and runs the script there with `sh -e`; its output and exit status.
    Run run(const std::string &script, const std::vector<std::string> &disks,
            const std::vector<std::string> &fixed = {}) {
        std::string file = scratch_ / ("guest" + std::to_string(++runs_) + ".sh");
        {
            FILE *f = std::fopen(file.c_str(), "w");
            if (!f) return {};
            std::fputs("set -e\n", f);
            std::fputs(kGuestHelpers, f);
            std::fputs(script.c_str(), f);
            std::fclose(f);
        }
        std::string cmd = fattools::quote(QUENDAL_SOURCE_DIR "/scripts/vm.sh") + " --build " +
                          fattools::quote(QUENDAL_BUILD_DIR);
        for (const auto &d : disks) cmd += " --disk " + fattools::quote(d);
        for (const auto &f : fixed) cmd += " --fixed-disk " + fattools::quote(f);
        cmd += " -- " + fattools::quote("sh " + file);
        auto r = fattools::run("cd " + fattools::quote(scratch_.str()) + " && " + cmd);
        return {r.status, r.output};
    }

    // fsck.fat's problems with the volume the host sees at a disk's drive
    // letter, read off the emulator's image after the guest is gone.
    static std::vector<std::string> fsckDrive(const std::string &disk, char letter, bool allowDirty = true) {
        for (const auto &d : drives(disk))
            if (d.letter == letter)
                return fattools::fsckRange(flashemu::dataImagePath(disk), d.offset, d.length, allowDirty);
        return {std::string("no drive ") + letter + ": on " + disk};
    }

    // The drive map the emulator publishes for what the host sees now.
    static std::vector<platform::DriveEntry> drives(const std::string &disk) {
        std::string text;
        if (!fileio::readWholeFile(flashemu::drivesPath(disk), &text)) return {};
        return platform::parseDriveMap(text);
    }

    // Helpers every guest script has: the disk's nodes as the kernel names them now,
    // the kernel's complaints, and a mount of a volume with a check of its files.
    static constexpr const char *kGuestHelpers = R"SH(
# nodes N: the generic node, LUN 0 and LUN 1 block nodes of disk N, as they are now.
nodes() { . /run/vm-wait-disk; wait_disk "$1"; eval echo "\$QUENDAL_VM_DISK$1_SG \$QUENDAL_VM_DISK$1_SD \$QUENDAL_VM_DISK$1_SD1"; }
# kernel_errors: the kernel's I/O errors and re-read storms so far.
kernel_errors() { dmesg | grep -E 'I/O error|critical medium error|Buffer I/O|FAT-fs.*error|unable to read partition' || true; }
# same_files DIR MOUNT: every file of DIR is on the volume at MOUNT, byte for
# byte (*.SCC files are never copied).
same_files() { for f in "$1"/*; do [ -f "$f" ] || continue; case $f in *.SCC|*.scc) continue ;; esac; n=$(basename "$f" | tr a-z A-Z); cmp "$f" "$2/$n" || { echo "differs: $n"; return 1; }; done; }
)SH";

private:
    testsupport::ScratchDir scratch_;
    int runs_ = 0;
};

} // namespace vmrig
