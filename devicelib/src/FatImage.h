// The start of a fresh FAT volume for one area, held in memory until it is
// written to the device: the partition table sector (when the area has one),
// the boot sector(s), both FATs, the root directory and the data of copied
// files. Sector numbers here count from the start of the area.
//
// The image is sparse: only sectors that hold a nonzero byte live in memory.
// A FAT32 area of a few GiB has FATs of many megabytes that are almost all
// zero, and holding them would make memory grow with the disk. The second FAT
// is never stored; it is always presented as the first.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "fat_layout.h"

namespace quendal {

using FatKind = fat::Kind;

// BootLayout values: where the volume sits in its area.
enum BootLayoutValue : int {
    kLayoutNoTable = 0,       // boot sector at area sector 0
    kLayoutTable32 = 1,       // partition table, volume at 32
    kLayoutTable63 = 2,       // partition table, volume at 63, HDD drive number and media
    kLayoutTable32Track63 = 3 // as 1, with 63 sectors per track
};

class FatImage {
public:
    using Sector = std::array<uint8_t, 512>;

    FatImage() = default;
    virtual ~FatImage();
    FatImage(const FatImage &) = delete;
    FatImage &operator=(const FatImage &) = delete;

    // Releases every sector and clears the geometry.
    void clear();
    bool built() const { return built_; }

    FatKind kind() const { return geometry_.kind; }
    // The volume as its boot sector describes it, in volume sectors.
    const fat::Geometry &geometry() const { return geometry_; }
    int bootLayout() const { return layout_; }
    uint32_t areaSectors() const { return areaSectors_; }
    uint32_t volumeStart() const { return volumeStart_; } // area sector of the boot sector
    bool hasPartitionTable() const { return layout_ != kLayoutNoTable; }
    // Entries of the root directory: the fixed one of FAT12/FAT16, or the one
    // cluster of FAT32's.
    uint32_t rootEntries() const { return rootEntries_; }
    uint32_t clusterLimit() const { return geometry_.clusterLimit(); } // data clusters + 2

    // Area sector of the root directory, of a data cluster.
    uint32_t rootDirSector() const;
    uint64_t clusterSector(uint32_t cluster) const { return volumeStart_ + geometry_.clusterSector(cluster); }
    // End of the system area (boot sectors, FATs, root directory or its cluster).
    uint32_t systemEnd() const;

    // Sectors the device must receive: the requested minimum, the system area
    // and every written data cluster, whichever reaches furthest.
    uint32_t imageSectors() const;

    // A sector's bytes, or nullptr when the sector is all zero.
    const uint8_t *sectorData(uint32_t sector) const;
    // A sector to modify; allocated (zeroed) on first use.
    uint8_t *mutableSector(uint32_t sector);
    void readSector(uint32_t sector, uint8_t *out512) const;
    void writeSector(uint32_t sector, const uint8_t *in512);

    // FAT entries of the first FAT (the second always mirrors it). Values are 12,
    // 16 or 28 bits wide; for FAT32 the top four bits of a stored entry are kept.
    uint32_t fatEntry(uint32_t cluster) const;
    void setFatEntry(uint32_t cluster, uint32_t value);
    uint32_t endOfChain() const { return fat::endOfChain(kind()); }
    bool isEndOfChain(uint32_t value) const { return fat::isEndOfChain(kind(), value); }
    // Clusters 2 .. limit-1 whose entry is 0.
    uint64_t freeClusters() const;

    // Writes bytes into a data cluster (at most one cluster's worth).
    void writeCluster(uint32_t cluster, const uint8_t *bytes, size_t length);

    // Sectors in memory (for tests of the memory bound).
    size_t storedSectors() const { return sectors_.size() + fat_.size(); }

private:
    friend bool BuildFatImage(FatImage &, int, uint32_t, uint32_t);

    uint8_t fatByte(uint64_t offset) const;
    void setFatByte(uint64_t offset, uint8_t value);
    bool inFatRegion(uint32_t sector, uint32_t *fatSector) const;

    bool built_ = false;
    fat::Geometry geometry_;
    int layout_ = kLayoutNoTable;
    uint32_t areaSectors_ = 0;
    uint32_t volumeStart_ = 0;
    uint32_t rootEntries_ = 0;
    uint32_t minimumSectors_ = 0;
    uint32_t dataEnd_ = 0;
    std::map<uint32_t, std::unique_ptr<Sector>> sectors_; // by area sector, outside the FATs
    std::map<uint32_t, std::unique_ptr<Sector>> fat_;     // by sector within one FAT
};

// Builds the image of one area. layout is the mode's BootLayout; the builder
// picks the FAT kind from the size and may override the layout. imageSectors
// is the least number of sectors to write (6144 for the first area, 3072 for
// the others). Returns false when memory runs out, or for an area too small to
// hold its FATs and root directory (the format refuses those earlier).
bool BuildFatImage(FatImage &image, int layout, uint32_t areaSectors, uint32_t imageSectors);

// Writes the first `sectors` sectors of the image from device address start in
// WRITE(10) commands of at most 128 sectors, reporting "Building file system--"
// after each. Returns 1, or 0 with error code 10 after a failed command.
int WriteImageToDevice(const FatImage &image, uint32_t sectors, uint32_t start);

// --- FileCopy.cpp ----------------------------------------------------------------
// The clock of directory entries: local time now, unless a test fixed it.
using FileClock = fat::DateTime (*)();
fat::DateTime fileClockNow();
void setFileClock(FileClock clock); // nullptr restores the local clock

// Copies every plain file of folder but *.SCC into the root directory; returns
// the number of files added. Names are taken in the platform's ANSI code page and
// upper-casing; host names that meet in one 8.3 name get numeric tails instead
// (LONGFI~1.TXT, LONGFI~2.TXT, in the order of the host names), so no file
// replaces another.
int CopyFolderToImage(FatImage &image, const std::string &folder);
// Adds the host file at path whole; 1 when added, 0 otherwise.
int AddHostFile(FatImage &image, const std::string &path, const fat::ShortName &name);
int AddHostFile(FatImage &image, const std::string &path, const std::string &name);
// Adds size bytes under an 8.3 name, replacing a file of that name; 1 when
// added, 0 when the name has no 8.3 form or the file finds no room or no entry.
// A name given as text is in the ANSI code page and upper-cased by it first.
int AddFileToImage(FatImage &image, const uint8_t *bytes, uint32_t size, const fat::ShortName &name);
int AddFileToImage(FatImage &image, const uint8_t *bytes, uint32_t size, const std::string &name);

} // namespace quendal
