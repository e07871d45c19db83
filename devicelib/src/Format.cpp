// The format procedure: the one call that lays the whole disk out anew, builds
// and writes every area's volume (or the CD-ROM image), stores the new layout
// in the configuration table and both information blocks, and reports its
// progress in named phases. Also the reference image that the reset wait uses
// to recognise the rebuilt first volume.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "FatImage.h"
#include "Internal.h"
#include "LibraryState.h"
#include "Volumes.h"
#include "file_io.h"
#include "platform/Paths.h"

namespace quendal {

namespace {

constexpr uint32_t kFirstAreaImageSectors = 6144;
constexpr uint32_t kLaterAreaImageSectors = 3072;
constexpr uint32_t kSectorBytes = 512;

void pause1ms() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

std::string referenceImagePath() {
    std::string dir = platform::temporaryDirectory();
    return dir.empty() ? std::string() : dir + kReferenceImageFile;
}

// The reference image: area 0 from its sector 0 up to and including the boot
// sector of its volume, so that the reset wait can follow the partition table
// to the boot sector and find the rebuilt volume by it.
void writeReferenceImage(const FatImage &image) {
    std::string path = referenceImagePath();
    if (path.empty()) return;
    std::vector<uint8_t> bytes(size_t(image.volumeStart() + 1) * kSectorBytes);
    for (uint32_t s = 0; s <= image.volumeStart(); ++s) image.readSector(s, bytes.data() + size_t(s) * kSectorBytes);
    // Made afresh: whatever is at the name (a link planted there above all) is
    // removed, not written through.
    fileio::removeFile(path);
    fileio::File out(path, fileio::File::Mode::CreateNew);
    if (out.isOpen()) out.writeAt(0, bytes.data(), bytes.size());
}

// A reference left by an earlier format would describe a volume that is gone.
void removeReferenceImage() {
    std::string path = referenceImagePath();
    if (!path.empty()) std::remove(path.c_str());
}

// ".\Cdrom\auto.iso" one sector per write from device address a. A missing file
// writes nothing and is no failure.
bool writeCdromImage(uint32_t address) {
    fileio::File in(platform::hostPath(".\\Cdrom\\auto.iso"), fileio::File::Mode::Read);
    if (!in.isOpen()) return true;
    const uint64_t size = in.size().value_or(0);
    const uint64_t n = std::max<uint64_t>(size / kSectorBytes, 1);
    uint8_t piece[kSectorBytes];
    for (uint64_t k = 0; k * kSectorBytes < size; ++k) {
        // The last piece of a file that is not a whole number of sectors is
        // padded with zeros, not with whatever the buffer held before.
        std::memset(piece, 0, sizeof piece);
        const std::optional<size_t> got = in.readUpTo(k * kSectorBytes, piece, sizeof piece);
        if (!got || *got == 0) break;
        int32_t ok = state().ops.WriteDisk(uint32_t(address + k), 1, piece);
        ReportProgress(int32_t(k * 100 / n), "Building file system--");
        if (!ok) {
            setError(QUENDAL_ERR_DATA_WRITE);
            return false;
        }
    }
    return true;
}

// Refuses, before anything is written, settings that the disk cannot take:
// areas below 1000 sectors, areas that end past the disk, an unknown mode or an
// area count the record has no sizes for.
bool settingsFitDisk(const FormatSettings &settings) {
    if (!areaSizesUsable(settings) || settings.mode > QUENDAL_MODE_CDROM) return false;
    uint64_t end = 0;
    for (uint32_t i = 0; i < settings.areaCount; ++i) end += areaSize(settings, i);
    return state().DiskCapacity > 0 && end <= uint64_t(state().DiskCapacity);
}

bool buildAreas(const FormatSettings &settings) {
    FatImage image;
    const uint8_t mode = settings.mode;
    const uint64_t capacity = uint64_t(std::max<int32_t>(state().DiskCapacity, 0));
    uint64_t start = 0;
    for (uint32_t i = 0; i < settings.areaCount; ++i) {
        const uint32_t size = areaSize(settings, i);
        if (size < 1000) {
            setError(QUENDAL_ERR_SETTINGS);
            return false;
        }
        const uint32_t minimum = i == 0 ? kFirstAreaImageSectors : kLaterAreaImageSectors;
        EnterProgramDirectory();
        if (mode == QUENDAL_MODE_CDROM) {
            if (i == 0) removeReferenceImage();
            if (!writeCdromImage(0)) return false;
        } else {
            if (!BuildFatImage(image, bootLayoutForMode(mode), size, minimum)) {
                setError(QUENDAL_ERR_DATA_WRITE); // the area could not be built, so not written
                return false;
            }
            if (i == 0 && mode != QUENDAL_MODE_NORMAL) {
                const char *folder = mode == QUENDAL_MODE_SECURE ? ".\\PWD" : ".\\BOOTFILES";
                CopyFolderToImage(image, platform::hostPath(folder));
            }
            // The image of a small area is longer than the area; the areas after
            // it are written later and cover it, but nothing may reach past the
            // disk's end, where the device refuses the write.
            uint64_t sectors = image.imageSectors();
            if (capacity > start) sectors = std::min(sectors, capacity - start);
            if (!WriteImageToDevice(image, uint32_t(sectors), uint32_t(start))) return false;
            if (i == 0) writeReferenceImage(image);
        }
        start += size;
    }
    uint8_t sector[kSectorBytes];
    state().ops.ReadDisk(0, 1, sector);
    return true;
}

bool formatProcedure(FormatSettings &settings) {
    LibraryState &st = state();
    ReportProgress(0, "Preparing--");
    InitVariable();
    uint8_t table[kSectorBytes] = {};
    if (GetConfigTable(table) == 0) {
        setError(QUENDAL_ERR_READ_TABLE);
        return false;
    }
    UpdateParam();
    std::memcpy(settings.label, st.TableLabel.data(), 11);
    settings.label[11] = 0;
    // The whole-disk table carries the capacity; a host that did not ask for it
    // yet would otherwise send a disk of 0 sectors.
    if (st.DiskCapacity <= 0) GetDiskCapacity();
    if (!settingsFitDisk(settings)) {
        setError(QUENDAL_ERR_SETTINGS);
        return false;
    }
    // Saved, and checked that nothing can be lost, before the first write.
    if (!infoBlockWritePossible() || !guardRewrite("before a format")) return false;
    ReportProgress(50, "Preparing--");
    if (!SetWholeDiskLayout(table)) return false;
    ReportProgress(90, "Preparing--");
    ReverseWriteStatusIfProtect();
    if (!buildAreas(settings)) return false;
    if (!CreateNewCfgtblV2(table, &settings)) return false;
    ReportProgress(0, "Update information--");
    // The areas took long to write: another program may have rewritten the
    // table meanwhile, and its table is not replaced by one read before it.
    if (!tableUnchangedSinceScan()) return false;
    if (!WriteInfoBlocks(table)) return false;
    CommitInformation();
    if (st.ops.DisMountDisk) st.ops.DisMountDisk();
    ReportProgress(0, "Waiting for disk reset--");
    for (int p = 0; p <= 100; p += 10) {
        ReportProgress(p, "Waiting for disk reset--");
        pause1ms();
    }
    return true;
}

} // namespace

void ReportProgress(int32_t percent, const char *text) {
    if (FormatProgressCallback cb = state().Progress) cb(percent, text);
}

} // namespace quendal

using namespace quendal;

extern "C" QUENDAL_API uint8_t FormatDisk(FormatSettings *settings, FormatProgressCallback progress) {
    LibraryState &st = state();
    if (!st.TransportReady) return 0;
    if (progress) st.Progress = progress;
    bool result = false;
    if (!settings || settings->areaCount == 0 || settings->areaSize[0] == 0) {
        setError(QUENDAL_ERR_SETTINGS);
    } else if (st.ControllerKind == kVersionTable) {
        try {
            result = formatProcedure(*settings);
        } catch (...) {
            // Nothing may leave the library; an exhausted heap ends the format.
            setError(QUENDAL_ERR_DATA_WRITE);
            result = false;
        }
    } else if (st.ControllerKind != kMakerTable) {
        setError(QUENDAL_ERR_CONTROLLER_KIND);
    }
    for (int p = 0; p <= 90; p += 10) {
        ReportProgress(p, "Closing Flash Disk--");
        pause1ms();
    }
    ReportProgress(100, "Finish--");
    return result ? 1 : 0;
}
