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

namespace quendal {

enum class FatKind { Fat12, Fat16, Fat32 };

// BootLayout values: where the volume sits in its area.
enum BootLayoutValue : int {
    kLayoutNoTable = 0,       // boot sector at area sector 0
    kLayoutTable32 = 1,       // partition table, volume at 32
    kLayoutTable63 = 2,       // partition table, volume at 63, HDD drive number and media
    kLayoutTable32Track63 = 3 // as 1, with 63 sectors per track
};

// Cluster counts by which every FAT reader tells the kinds apart.
constexpr uint32_t kMinFat16Clusters = 4085;
constexpr uint32_t kMinFat32Clusters = 65525;

// Local time as it goes into directory entries.
struct FatTime {
    int year = 1980; // full year
    int month = 1;   // 1..12
    int day = 1;     // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
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

    FatKind kind() const { return kind_; }
    int bootLayout() const { return layout_; }
    uint32_t areaSectors() const { return areaSectors_; }
    uint32_t volumeStart() const { return volumeStart_; } // area sector of the boot sector
    uint32_t volumeSectors() const { return volumeSectors_; }
    uint32_t sectorsPerCluster() const { return spc_; }
    uint32_t reservedSectors() const { return reserved_; }
    uint32_t fatSectors() const { return fatSectors_; } // one FAT
    uint32_t rootDirSectors() const { return kind_ == FatKind::Fat32 ? 0 : 32; }
    uint32_t rootEntries() const { return rootEntries_; }
    uint32_t clusterLimit() const { return clusterLimit_; } // data clusters + 2
    bool hasPartitionTable() const { return layout_ != kLayoutNoTable; }

    // Area sector of the first FAT, of the root directory, of a data cluster.
    uint32_t firstFatSector() const { return volumeStart_ + reserved_; }
    uint32_t rootDirSector() const;
    uint64_t clusterSector(uint32_t cluster) const;
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

    // Boot sector of the volume.
    uint8_t *bootSector() { return mutableSector(volumeStart_); }

    // FAT entries of the first FAT (the second always mirrors it). Values are 12,
    // 16 or 28 bits wide; for FAT32 the top four bits of a stored entry are kept.
    uint32_t fatEntry(uint32_t cluster) const;
    void setFatEntry(uint32_t cluster, uint32_t value);
    uint32_t endOfChain() const;
    bool isEndOfChain(uint32_t value) const;
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
    FatKind kind_ = FatKind::Fat12;
    int layout_ = kLayoutNoTable;
    uint32_t areaSectors_ = 0;
    uint32_t volumeStart_ = 0;
    uint32_t volumeSectors_ = 0;
    uint32_t spc_ = 1;
    uint32_t reserved_ = 1;
    uint32_t fatSectors_ = 0;
    uint32_t rootEntries_ = 0;
    uint32_t clusterLimit_ = 0;
    uint32_t minimumSectors_ = 0;
    uint32_t dataEnd_ = 0;
    std::map<uint32_t, std::unique_ptr<Sector>> sectors_; // by area sector, outside the FATs
    std::map<uint32_t, std::unique_ptr<Sector>> fat_;     // by sector within one FAT
};

// Builds the image of one area. layout is the mode's BootLayout; the builder
// picks the FAT kind from the size and may override the layout. imageSectors
// is the least number of sectors to write (6144 for the first area, 3072 for
// the others). Returns false only when memory runs out.
bool BuildFatImage(FatImage &image, int layout, uint32_t areaSectors, uint32_t imageSectors);

// Writes the first `sectors` sectors of the image from device address start in
// WRITE(10) commands of at most 128 sectors, reporting "Building file system--"
// after each. Returns 1, or 0 with error code 10 after a failed command.
int WriteImageToDevice(const FatImage &image, uint32_t sectors, uint32_t start);

// --- FileCopy.cpp ----------------------------------------------------------------
// The clock of directory entries: local time now, unless a test fixed it.
using FileClock = FatTime (*)();
FatTime fileClockNow();
void setFileClock(FileClock clock); // nullptr restores the local clock

// 11-byte 8.3 name of a host name (upper case, blank padded, no checks).
std::array<uint8_t, 11> shortName(const std::string &name);

int CopyFolderToImage(FatImage &image, const std::string &folder);
int AddHostFile(FatImage &image, const std::string &path, const std::string &name);
int AddFileToImage(FatImage &image, const uint8_t *bytes, uint32_t size, const std::string &name);

} // namespace quendal
