// The on-disk rules of FAT12, FAT16 and FAT32 in one place, shared by every part
// that builds, writes or reads a FAT volume: the volume builder and the file copy
// of the device library, the writer into an unmounted volume and the drive-size
// reader of the platform layer, and the emulator's view of what the host sees.
// Boot sector, FSInfo and directory entry offsets; the kind of a volume by its
// cluster count; the FAT entry codec; end-of-chain values; geometry from a BIOS
// parameter block; 8.3 names; date and time stamps.
//
// Nothing here reads or writes a file: callers hold the bytes. The tests' own
// FAT reader (tests/support/FatReader.h) stays apart from this on purpose, so
// that a mistake made here is not repeated by the judge of what was written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace fat {

enum class Kind { Fat12, Fat16, Fat32 };

// Cluster counts by which every FAT reader (Windows, Linux, dosfstools, mtools)
// tells the kinds apart, whatever the boot sector's type text says.
constexpr uint32_t kMinFat16Clusters = 4085;
constexpr uint32_t kMinFat32Clusters = 65525;
// Cluster numbers from 0x0FFFFFF7 on mean "bad" and "end of chain".
constexpr uint32_t kMaxFat32Clusters = 0x0FFFFFF5;

constexpr Kind kindForClusters(uint32_t clusters) {
    return clusters < kMinFat16Clusters ? Kind::Fat12 : clusters < kMinFat32Clusters ? Kind::Fat16 : Kind::Fat32;
}

// BIOS parameter block, shared by every kind (little-endian).
namespace bpb {
constexpr size_t kJump = 0x00;           // 3 bytes
constexpr size_t kOemName = 0x03;        // 8 bytes
constexpr size_t kBytesPerSector = 0x0B; // 16-bit
constexpr size_t kSectorsPerCluster = 0x0D;
constexpr size_t kReservedSectors = 0x0E; // 16-bit
constexpr size_t kFatCount = 0x10;
constexpr size_t kRootEntries = 0x11;    // 16-bit, 0 on FAT32
constexpr size_t kTotalSectors16 = 0x13; // 16-bit, 0 when the 32-bit field holds the count
constexpr size_t kMedia = 0x15;
constexpr size_t kFatSize16 = 0x16;       // 16-bit, 0 on FAT32
constexpr size_t kSectorsPerTrack = 0x18; // 16-bit
constexpr size_t kHeads = 0x1A;           // 16-bit
constexpr size_t kHiddenSectors = 0x1C;   // 32-bit, sectors before the volume
constexpr size_t kTotalSectors32 = 0x20;  // 32-bit
constexpr size_t kSignature = 0x1FE;      // 55 AA
static_assert(kTotalSectors32 + 4 == 0x24, "the kind-specific fields start at 0x24");
} // namespace bpb

// Extended BPB of FAT12 and FAT16.
namespace bpb16 {
constexpr size_t kDriveNumber = 0x24;
constexpr size_t kReserved = 0x25; // readers take bit 0 for the dirty bit
constexpr size_t kExtSignature = 0x26;
constexpr size_t kSerial = 0x27; // 32-bit
constexpr size_t kLabel = 0x2B;  // 11 bytes
constexpr size_t kFsType = 0x36; // 8 bytes
static_assert(kFsType + 8 == 0x3E, "the FAT12/FAT16 BPB ends at 0x3E");
} // namespace bpb16

// Extended BPB of FAT32.
namespace bpb32 {
constexpr size_t kFatSize32 = 0x24;    // 32-bit
constexpr size_t kExtFlags = 0x28;     // 16-bit: bit 7 mirroring off, bits 0-3 the active FAT
constexpr size_t kVersion = 0x2A;      // 16-bit
constexpr size_t kRootCluster = 0x2C;  // 32-bit
constexpr size_t kFsInfoSector = 0x30; // 16-bit
constexpr size_t kBackupBoot = 0x32;   // 16-bit
constexpr size_t kReserved12 = 0x34;   // 12 zero bytes
constexpr size_t kDriveNumber = 0x40;
constexpr size_t kExtSignature = 0x42;
constexpr size_t kSerial = 0x43; // 32-bit
constexpr size_t kLabel = 0x47;  // 11 bytes
constexpr size_t kFsType = 0x52; // 8 bytes
static_assert(kReserved12 + 12 == kDriveNumber, "the FAT32 reserved bytes end at the drive number");
static_assert(kFsType + 8 == 0x5A, "the FAT32 BPB ends at 0x5A");
constexpr uint16_t kNoMirroring = 0x0080;
constexpr uint16_t kActiveFatMask = 0x000F;
} // namespace bpb32

// FSInfo sector of FAT32.
namespace fsinfo {
constexpr size_t kLeadSig = 0x000;   // "RRaA"
constexpr size_t kStructSig = 0x1E4; // "rrAa"
constexpr size_t kFreeCount = 0x1E8; // 32-bit, 0xFFFFFFFF unknown
constexpr size_t kNextFree = 0x1EC;  // 32-bit, 0xFFFFFFFF unknown
constexpr size_t kTrailSig = 0x1FC;  // 00 00 55 AA
constexpr uint32_t kLeadValue = 0x41615252;
constexpr uint32_t kStructValue = 0x61417272;
constexpr uint32_t kTrailValue = 0xAA550000;
constexpr uint32_t kUnknown = 0xFFFFFFFF;
static_assert(kNextFree + 4 < kTrailSig, "the counts lie before the trail signature");
} // namespace fsinfo

// Directory entry (32 bytes).
namespace dirent {
constexpr size_t kSize = 32;
constexpr size_t kName = 0x00; // 11 bytes: 8.3 name
constexpr size_t kAttributes = 0x0B;
constexpr size_t kNtCase = 0x0C;
constexpr size_t kCreateTenths = 0x0D;
constexpr size_t kCreateTime = 0x0E;  // 16-bit
constexpr size_t kCreateDate = 0x10;  // 16-bit
constexpr size_t kAccessDate = 0x12;  // 16-bit
constexpr size_t kClusterHigh = 0x14; // 16-bit, FAT32 only
constexpr size_t kWriteTime = 0x16;   // 16-bit
constexpr size_t kWriteDate = 0x18;   // 16-bit
constexpr size_t kClusterLow = 0x1A;  // 16-bit
constexpr size_t kFileSize = 0x1C;    // 32-bit
static_assert(kFileSize + 4 == kSize, "the file size closes the entry");
static_assert(kName + 11 == kAttributes, "the attributes follow the 8.3 name");
// Long-name entries keep the 8.3 name's checksum here.
constexpr size_t kLongNameChecksum = 0x0D;

constexpr uint8_t kEnd = 0x00;     // first byte: no entry here or after
constexpr uint8_t kDeleted = 0xE5; // first byte: a free entry
constexpr uint8_t kE5Stand = 0x05; // first byte: a name that starts with E5

constexpr uint8_t kAttrReadOnly = 0x01;
constexpr uint8_t kAttrHidden = 0x02;
constexpr uint8_t kAttrSystem = 0x04;
constexpr uint8_t kAttrVolumeId = 0x08;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrArchive = 0x20;
constexpr uint8_t kAttrLongName = 0x0F; // all four low bits: a long-name piece

// First cluster of the entry; the high half counts on FAT32 only.
uint32_t firstCluster(Kind kind, const uint8_t *entry);
void setFirstCluster(Kind kind, uint8_t *entry, uint32_t cluster);
} // namespace dirent

// --- FAT entries ---------------------------------------------------------------

constexpr uint32_t endOfChain(Kind kind) {
    return kind == Kind::Fat12 ? 0xFFF : kind == Kind::Fat16 ? 0xFFFF : 0x0FFFFFFF;
}
constexpr bool isEndOfChain(Kind kind, uint32_t value) {
    return kind == Kind::Fat12 ? value >= 0xFF8 : kind == Kind::Fat16 ? value >= 0xFFF8 : value >= 0x0FFFFFF8;
}

// Where a cluster's entry lies in a FAT: its first byte and the bytes that hold
// it. A FAT12 entry takes 12 bits of the two bytes it shares with a neighbour,
// and those two bytes may lie in two sectors.
struct EntryPlace {
    uint64_t offset;
    uint32_t bytes;
};
constexpr EntryPlace entryPlace(Kind kind, uint32_t cluster) {
    switch (kind) {
    case Kind::Fat12: return {uint64_t(cluster) + cluster / 2, 2};
    case Kind::Fat16: return {uint64_t(cluster) * 2, 2};
    case Kind::Fat32: break;
    }
    return {uint64_t(cluster) * 4, 4};
}
// raw is the little-endian value of the bytes at entryPlace.
constexpr uint32_t decodeEntry(Kind kind, uint32_t cluster, uint32_t raw) {
    switch (kind) {
    case Kind::Fat12: return (cluster & 1) ? (raw >> 4) & 0xFFF : raw & 0xFFF;
    case Kind::Fat16: return raw & 0xFFFF;
    case Kind::Fat32: break;
    }
    return raw & 0x0FFFFFFF;
}
// raw with the cluster's entry set to value; the neighbour's nibble (FAT12) and
// the four reserved top bits (FAT32) keep what they held.
constexpr uint32_t encodeEntry(Kind kind, uint32_t cluster, uint32_t raw, uint32_t value) {
    switch (kind) {
    case Kind::Fat12: return (cluster & 1) ? (raw & 0x000F) | ((value & 0xFFF) << 4) : (raw & 0xF000) | (value & 0xFFF);
    case Kind::Fat16: return value & 0xFFFF;
    case Kind::Fat32: break;
    }
    return (raw & 0xF0000000) | (value & 0x0FFFFFFF);
}

// The same over one whole FAT in memory; the entry must lie inside it.
uint32_t getEntry(Kind kind, std::span<const uint8_t> table, uint32_t cluster);
void setEntry(Kind kind, std::span<uint8_t> table, uint32_t cluster, uint32_t value);

// Bytes a FAT needs to hold entries 0 .. clusters + 1.
constexpr uint64_t fatBytesFor(Kind kind, uint32_t clusters) {
    const uint64_t entries = uint64_t(clusters) + 2;
    return kind == Kind::Fat12 ? (entries * 3 + 1) / 2 : kind == Kind::Fat16 ? entries * 2 : entries * 4;
}

// --- Geometry from a boot sector --------------------------------------------------

// Sector numbers count from the volume's boot sector.
struct Geometry {
    Kind kind = Kind::Fat12; // by the cluster count, as every reader decides
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 0;
    uint32_t fatCount = 0;
    uint32_t rootEntries = 0; // of the fixed root directory; 0 on FAT32
    uint32_t totalSectors = 0;
    uint32_t fatSectors = 0;     // of one FAT
    uint32_t rootDirSectors = 0; // of the fixed root directory
    uint32_t clusters = 0;       // data clusters
    bool fat32Layout = false;    // the BPB has the FAT32 fields (16-bit FAT size 0)
    uint16_t extFlags = 0;       // FAT32
    uint32_t rootCluster = 0;    // FAT32
    uint16_t fsInfoSector = 0;   // FAT32

    uint32_t clusterLimit() const { return clusters + 2; } // first cluster number past the end
    bool validCluster(uint32_t c) const { return c >= 2 && c < clusterLimit(); }
    uint32_t clusterBytes() const { return sectorsPerCluster * bytesPerSector; }
    uint64_t fatSector(uint32_t copy) const { return reservedSectors + uint64_t(copy) * fatSectors; }
    uint64_t rootDirSector() const { return fatSector(fatCount); } // the fixed root directory
    uint64_t firstDataSector() const { return rootDirSector() + rootDirSectors; }
    uint64_t clusterSector(uint32_t c) const { return firstDataSector() + uint64_t(c - 2) * sectorsPerCluster; }
    // What the original platform reports as the volume's total size.
    uint64_t dataBytes() const { return uint64_t(clusters) * clusterBytes(); }
    // Readers agree on the volume and a writer may change it: the kind its
    // cluster count names matches the BPB's layout, FAT12/FAT16 have a fixed root
    // directory and FAT32 none, every FAT covers every cluster, the FAT32 root
    // cluster lies in the volume and the active FAT exists.
    bool sound() const;
};

// The geometry a boot sector describes, or nothing when its numbers cannot be a
// FAT volume (no 55 AA, a sector size other than 512 to 4096, a cluster size not
// a power of two, no FAT, or no room for a single data cluster).
std::optional<Geometry> readGeometry(const uint8_t *bootSector);

// --- 8.3 names -------------------------------------------------------------------

using ShortName = std::array<uint8_t, 11>;

// Lead bytes of the double-byte ANSI code pages (932, 936, 949, 950); 1252 and
// every other code page have none. A name is never cut, upper-cased or changed
// inside a double-byte character, whose second byte may look like ASCII.
bool isLeadByte(uint32_t codePage, uint8_t byte);

struct ShortNameForm {
    ShortName name{};
    bool exact = false; // a plain 8.3 name: nothing cut, dropped or replaced
};

// The 8.3 entry of a name given in the ANSI code page codePage: the base is what
// precedes the first dot, cut to 8 bytes, the extension what follows it, cut to
// 3, both blank-padded and upper-cased (the device's rule). What that rule leaves
// alone but FAT readers reject is mended the way FAT users know from Windows:
// characters no short name may hold (later dots among them) become '_', blanks
// and leading dots are dropped, and a first byte E5 is stored as 05. Nothing when
// no base is left.
std::optional<ShortNameForm> shortName(std::string_view name, uint32_t codePage);

// The name with the numeric tail "~n" (n >= 1) at the end of its base, the base
// cut so that both fit in 8 bytes: LONGFILE.TXT with 1 -> LONGFI~1.TXT.
ShortName withNumericTail(const ShortName &name, uint32_t n, uint32_t codePage);

// Readers match short names without regard to the case of ASCII letters: some
// writers leave lower case in them.
bool sameShortName(const uint8_t *a, const uint8_t *b);

// The checksum of an 8.3 name that its long-name entries carry.
uint8_t longNameChecksum(const uint8_t *name);

// --- Date and time ------------------------------------------------------------------

struct DateTime {
    int year = 1980; // full year
    int month = 1;   // 1..12
    int day = 1;     // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

struct Stamp {
    uint16_t date = 0; // (year - 1980) << 9 | month << 5 | day
    uint16_t time = 0; // hour << 11 | minute << 5 | second / 2
};

// FAT stamps run from 1980 to 2107; a time outside gives 1980-01-01 00:00.
Stamp stamp(const DateTime &t);

// The local time of day at a moment (seconds since 1970); nothing when the
// system cannot tell it.
std::optional<DateTime> localDateTime(int64_t secondsSinceEpoch);

} // namespace fat
