// The FAT volume builder: boot-sector templates, geometry of FAT12, FAT16 and
// FAT32 volumes placed behind the area's partition table sector, and the writer
// that sends an area image to the device in WRITE(10) commands.
#include "FatImage.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "Internal.h"
#include "LibraryState.h"
#include "byteorder.h"

#if __has_include("BootCode.h")
#include "BootCode.h"
#define QUENDAL_HAVE_BOOTCODE 1
#endif

namespace quendal {

namespace {

constexpr uint32_t kSector = 512;

// Offsets of the BIOS parameter block shared by every template.
namespace bpb {
constexpr size_t kOemName = 0x03;        // 8 bytes
constexpr size_t kBytesPerSector = 0x0B; // 16-bit
constexpr size_t kSectorsPerCluster = 0x0D;
constexpr size_t kReservedSectors = 0x0E; // 16-bit
constexpr size_t kFatCount = 0x10;
constexpr size_t kRootEntries = 0x11;    // 16-bit
constexpr size_t kTotalSectors16 = 0x13; // 16-bit
constexpr size_t kMedia = 0x15;
constexpr size_t kFatSize16 = 0x16;       // 16-bit
constexpr size_t kSectorsPerTrack = 0x18; // 16-bit
constexpr size_t kHeads = 0x1A;           // 16-bit
constexpr size_t kHiddenSectors = 0x1C;   // 32-bit
constexpr size_t kTotalSectors32 = 0x20;  // 32-bit
constexpr size_t kSignature = 0x1FE;      // 55 AA
} // namespace bpb

// Extended BPB of FAT12/FAT16 (templates A and B).
namespace ebpb16 {
constexpr size_t kDriveNumber = 0x24;
constexpr size_t kReserved = 0x25; // 0x01 in template A: readers take it for the dirty bit
constexpr size_t kExtSignature = 0x26;
constexpr size_t kSerial = 0x27; // 32-bit
constexpr size_t kLabel = 0x2B;  // 11 bytes
constexpr size_t kFsType = 0x36; // 8 bytes
static_assert(kFsType + 8 == 0x3E, "template B code starts right after the file system type");
} // namespace ebpb16

// Extended BPB of FAT32 (template C).
namespace ebpb32 {
constexpr size_t kFatSize32 = 0x24;    // 32-bit
constexpr size_t kFlags = 0x28;        // 16-bit
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
static_assert(kReserved12 + 12 == kDriveNumber, "FAT32 reserved bytes end at the drive number");
static_assert(kFsType + 8 == 0x5A, "FAT32 BPB ends at 0x5A");
} // namespace ebpb32

// FSInfo sector (template C's second sector).
namespace fsinfo {
constexpr size_t kLeadSig = 0x000;   // "RRaA"
constexpr size_t kStructSig = 0x1E4; // "rrAa"
constexpr size_t kFreeCount = 0x1E8; // 32-bit
constexpr size_t kNextFree = 0x1EC;  // 32-bit
constexpr size_t kTrailSig = 0x1FC;  // 00 00 55 AA
} // namespace fsinfo

constexpr uint8_t kOemNameAB[8] = {0x40, 0x53, 0x57, 0x49, 0x4E, 0x34, 0x2E, 0x31};
constexpr uint8_t kOemNameC[8] = {0x2B, 0x6A, 0x30, 0x7C, 0x38, 0x49, 0x48, 0x43};
constexpr char kNoName[] = "NO NAME    ";
constexpr char kOwnLabel[] = "Morvantek"; // written with a NUL as the 10th byte

void putText(uint8_t *p, const char *text, size_t n) { std::memcpy(p, text, n); }

void copyCode(uint8_t *sector, size_t offset, const uint8_t *code, size_t size) {
    size_t room = bpb::kSignature - offset;
    std::memcpy(sector + offset, code, std::min(size, room));
}

// Fields every template shares.
void fillCommonBpb(uint8_t *s) {
    std::memcpy(s + bpb::kOemName, kOemNameAB, 8);
    bo::putLE16(s + bpb::kBytesPerSector, 512);
    s[bpb::kFatCount] = 2;
    s[bpb::kMedia] = 0xF8;
    s[bpb::kSignature] = 0x55;
    s[bpb::kSignature + 1] = 0xAA;
}

// Template A: FAT12 and FAT16 without the HDD layout.
FatImage::Sector templateA() {
    FatImage::Sector t{};
    uint8_t *s = t.data();
    s[0] = 0xEB;
    s[1] = 0x3E;
    s[2] = 0x90;
    fillCommonBpb(s);
    s[bpb::kSectorsPerCluster] = 4;
    bo::putLE16(s + bpb::kReservedSectors, 1);
    bo::putLE16(s + bpb::kRootEntries, 512);
    bo::putLE16(s + bpb::kFatSize16, 250);
    bo::putLE16(s + bpb::kSectorsPerTrack, 32);
    bo::putLE16(s + bpb::kHeads, 32);
    bo::putLE32(s + bpb::kHiddenSectors, 32);
    bo::putLE32(s + bpb::kTotalSectors32, 255968);
    s[ebpb16::kDriveNumber] = 0x80;
    s[ebpb16::kReserved] = 0x01;
    s[ebpb16::kExtSignature] = 0x29;
    bo::putLE32(s + ebpb16::kSerial, 0x12345678);
    putText(s + ebpb16::kLabel, kNoName, 11);
    putText(s + ebpb16::kFsType, "FAT16   ", 8);
#ifdef QUENDAL_HAVE_BOOTCODE
    copyCode(s, bootcode::kFatLoaderAOffset, bootcode::kFatLoaderA, bootcode::kFatLoaderASize);
#endif
    return t;
}

// Template B: FAT16 behind a partition table at 63 (HDD boot).
FatImage::Sector templateB() {
    FatImage::Sector t{};
    uint8_t *s = t.data();
    s[0] = 0xEB;
    s[1] = 0x3C;
    s[2] = 0x90;
    fillCommonBpb(s);
    s[bpb::kSectorsPerCluster] = 4;
    bo::putLE16(s + bpb::kReservedSectors, 1);
    bo::putLE16(s + bpb::kRootEntries, 512);
    bo::putLE16(s + bpb::kFatSize16, 250);
    bo::putLE16(s + bpb::kSectorsPerTrack, 63);
    bo::putLE16(s + bpb::kHeads, 255);
    bo::putLE32(s + bpb::kHiddenSectors, 63);
    bo::putLE32(s + bpb::kTotalSectors32, 255937);
    s[ebpb16::kDriveNumber] = 0x80;
    s[ebpb16::kReserved] = 0x00;
    s[ebpb16::kExtSignature] = 0x29;
    bo::putLE32(s + ebpb16::kSerial, 0x12345678);
    putText(s + ebpb16::kLabel, kNoName, 11);
    putText(s + ebpb16::kFsType, "FAT16   ", 8);
#ifdef QUENDAL_HAVE_BOOTCODE
    copyCode(s, bootcode::kFatLoaderBOffset, bootcode::kFatLoaderB, bootcode::kFatLoaderBSize);
#endif
    return t;
}

// Template C: FAT32, three sectors (boot sector, FSInfo, a signed empty sector).
std::array<FatImage::Sector, 3> templateC() {
    std::array<FatImage::Sector, 3> t{};
    uint8_t *s = t[0].data();
    s[0] = 0xEB;
    s[1] = 0x5A;
    s[2] = 0x90;
    fillCommonBpb(s);
    std::memcpy(s + bpb::kOemName, kOemNameC, 8);
    s[bpb::kSectorsPerCluster] = 1;
    bo::putLE16(s + bpb::kReservedSectors, 32);
    bo::putLE16(s + bpb::kRootEntries, 0);
    bo::putLE16(s + bpb::kFatSize16, 0);
    bo::putLE16(s + bpb::kSectorsPerTrack, 32);
    bo::putLE16(s + bpb::kHeads, 64);
    bo::putLE32(s + bpb::kHiddenSectors, 32);
    bo::putLE32(s + bpb::kTotalSectors32, 255968);
    bo::putLE32(s + ebpb32::kFatSize32, 1969);
    bo::putLE16(s + ebpb32::kFlags, 0);
    bo::putLE16(s + ebpb32::kVersion, 0);
    bo::putLE32(s + ebpb32::kRootCluster, 2);
    bo::putLE16(s + ebpb32::kFsInfoSector, 1);
    bo::putLE16(s + ebpb32::kBackupBoot, 6);
    s[ebpb32::kDriveNumber] = 0x80;
    s[ebpb32::kExtSignature] = 0x29;
    bo::putLE32(s + ebpb32::kSerial, 0x170E3863);
    putText(s + ebpb32::kLabel, kNoName, 11);
    putText(s + ebpb32::kFsType, "FAT32   ", 8);
#ifdef QUENDAL_HAVE_BOOTCODE
    copyCode(s, bootcode::kFatLoaderCOffset, bootcode::kFatLoaderC, bootcode::kFatLoaderCSize);
#endif

    uint8_t *f = t[1].data();
    putText(f + fsinfo::kLeadSig, "RRaA", 4);
    putText(f + fsinfo::kStructSig, "rrAa", 4);
    bo::putLE32(f + fsinfo::kFreeCount, 0xFFFFFFFF);
    bo::putLE32(f + fsinfo::kNextFree, 0xFFFFFFFF);
    f[fsinfo::kTrailSig + 2] = 0x55;
    f[fsinfo::kTrailSig + 3] = 0xAA;

    t[2][bpb::kSignature] = 0x55;
    t[2][bpb::kSignature + 1] = 0xAA;
    return t;
}

// The smallest power of two from `from` to 128 that is greater than q, or
// `otherwise` when none is.
uint32_t clusterSize(uint32_t from, uint32_t limit, uint32_t q, uint32_t otherwise) {
    for (uint32_t spc = from; spc <= limit; spc *= 2)
        if (spc > q) return spc;
    return otherwise;
}

uint32_t ceilDiv(uint64_t a, uint64_t b) { return uint32_t((a + b - 1) / b); }

struct Fat16Geometry {
    uint32_t spc, fatSize, clusterLimit;
};

Fat16Geometry fat16Geometry(uint32_t v) {
    Fat16Geometry g{};
    g.spc = clusterSize(1, 128, v / 65534, 128);
    uint32_t n = ceilDiv(uint64_t(v) - 1 - 32, g.spc);
    g.fatSize = ceilDiv(n, 256);
    g.clusterLimit = (v - 2 * g.fatSize - 1 - 32) / g.spc + 2;
    return g;
}

} // namespace

// --- FatImage ------------------------------------------------------------------------

FatImage::~FatImage() = default;

void FatImage::clear() {
    sectors_.clear();
    fat_.clear();
    built_ = false;
    kind_ = FatKind::Fat12;
    layout_ = kLayoutNoTable;
    areaSectors_ = volumeStart_ = volumeSectors_ = 0;
    spc_ = 1;
    reserved_ = 1;
    fatSectors_ = rootEntries_ = clusterLimit_ = minimumSectors_ = dataEnd_ = 0;
}

uint32_t FatImage::rootDirSector() const {
    if (kind_ == FatKind::Fat32) return uint32_t(clusterSector(2));
    return volumeStart_ + reserved_ + 2 * fatSectors_;
}

uint64_t FatImage::clusterSector(uint32_t cluster) const {
    return uint64_t(volumeStart_) + reserved_ + 2ull * fatSectors_ + rootDirSectors() + uint64_t(cluster - 2) * spc_;
}

uint32_t FatImage::systemEnd() const {
    if (kind_ == FatKind::Fat32) return uint32_t(clusterSector(2) + spc_);
    return rootDirSector() + rootDirSectors();
}

uint32_t FatImage::imageSectors() const {
    if (!built_) return 0;
    return std::max({minimumSectors_, systemEnd(), dataEnd_});
}

bool FatImage::inFatRegion(uint32_t sector, uint32_t *fatSector) const {
    uint32_t first = firstFatSector();
    if (sector < first || sector - first >= 2 * fatSectors_) return false;
    *fatSector = (sector - first) % fatSectors_; // the second FAT mirrors the first
    return true;
}

const uint8_t *FatImage::sectorData(uint32_t sector) const {
    uint32_t fs;
    const bool inFat = inFatRegion(sector, &fs);
    const auto &map = inFat ? fat_ : sectors_;
    auto it = map.find(inFat ? fs : sector);
    return it == map.end() ? nullptr : it->second->data();
}

uint8_t *FatImage::mutableSector(uint32_t sector) {
    uint32_t fs;
    bool inFat = inFatRegion(sector, &fs);
    auto &map = inFat ? fat_ : sectors_;
    auto &slot = map[inFat ? fs : sector];
    if (!slot) slot = std::make_unique<Sector>(); // value-initialised: zero
    return slot->data();
}

void FatImage::readSector(uint32_t sector, uint8_t *out512) const {
    const uint8_t *p = sectorData(sector);
    if (p)
        std::memcpy(out512, p, kSector);
    else
        std::memset(out512, 0, kSector);
}

void FatImage::writeSector(uint32_t sector, const uint8_t *in512) {
    std::memcpy(mutableSector(sector), in512, kSector);
}

uint8_t FatImage::fatByte(uint64_t offset) const {
    auto it = fat_.find(uint32_t(offset / kSector));
    return it == fat_.end() ? 0 : (*it->second)[offset % kSector];
}

void FatImage::setFatByte(uint64_t offset, uint8_t value) {
    uint32_t s = uint32_t(offset / kSector);
    auto it = fat_.find(s);
    if (it == fat_.end()) {
        if (value == 0) return; // keep zero sectors out of memory
        it = fat_.emplace(s, std::make_unique<Sector>()).first;
    }
    (*it->second)[offset % kSector] = value;
}

uint32_t FatImage::fatEntry(uint32_t cluster) const {
    switch (kind_) {
    case FatKind::Fat12: {
        // 12-bit entries, two in three bytes; the pair may straddle a sector.
        uint64_t off = uint64_t(cluster) + cluster / 2;
        uint32_t word = fatByte(off) | (uint32_t(fatByte(off + 1)) << 8);
        return (cluster & 1) ? (word >> 4) : (word & 0xFFF);
    }
    case FatKind::Fat16: {
        uint64_t off = uint64_t(cluster) * 2;
        return fatByte(off) | (uint32_t(fatByte(off + 1)) << 8);
    }
    case FatKind::Fat32: {
        uint64_t off = uint64_t(cluster) * 4;
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | fatByte(off + i);
        return v & 0x0FFFFFFF;
    }
    }
    return 0;
}

void FatImage::setFatEntry(uint32_t cluster, uint32_t value) {
    switch (kind_) {
    case FatKind::Fat12: {
        uint64_t off = uint64_t(cluster) + cluster / 2;
        uint32_t word = fatByte(off) | (uint32_t(fatByte(off + 1)) << 8);
        if (cluster & 1)
            word = (word & 0x000F) | ((value & 0xFFF) << 4);
        else
            word = (word & 0xF000) | (value & 0xFFF);
        setFatByte(off, uint8_t(word));
        setFatByte(off + 1, uint8_t(word >> 8));
        break;
    }
    case FatKind::Fat16: {
        uint64_t off = uint64_t(cluster) * 2;
        setFatByte(off, uint8_t(value));
        setFatByte(off + 1, uint8_t(value >> 8));
        break;
    }
    case FatKind::Fat32: {
        // The top four bits of a FAT32 entry are reserved and kept as they are.
        uint64_t off = uint64_t(cluster) * 4;
        uint32_t keep = uint32_t(fatByte(off + 3) & 0xF0) << 24;
        uint32_t v = keep | (value & 0x0FFFFFFF);
        for (int i = 0; i < 4; ++i) setFatByte(off + i, uint8_t(v >> (8 * i)));
        break;
    }
    }
}

uint32_t FatImage::endOfChain() const {
    switch (kind_) {
    case FatKind::Fat12: return 0xFFF;
    case FatKind::Fat16: return 0xFFFF;
    case FatKind::Fat32: return 0x0FFFFFFF;
    }
    return 0;
}

bool FatImage::isEndOfChain(uint32_t value) const {
    switch (kind_) {
    case FatKind::Fat12: return value >= 0xFF8;
    case FatKind::Fat16: return value >= 0xFFF8;
    case FatKind::Fat32: return value >= 0x0FFFFFF8;
    }
    return true;
}

uint64_t FatImage::freeClusters() const {
    if (clusterLimit_ < 2) return 0;
    uint64_t free = clusterLimit_ - 2;
    // Only FAT sectors in memory can hold a used entry; visit the clusters whose
    // entries touch them, each once.
    uint64_t next = 2;
    for (const auto &[s, data] : fat_) {
        uint64_t lo = uint64_t(s) * kSector, hi = lo + kSector; // byte range [lo, hi)
        uint64_t first, last;                                   // clusters whose entry bytes overlap the range
        switch (kind_) {
        case FatKind::Fat12:
            first = lo * 2 / 3 > 0 ? lo * 2 / 3 - 1 : 0;
            last = hi * 2 / 3 + 1;
            break;
        case FatKind::Fat16:
            first = lo / 2;
            last = hi / 2;
            break;
        default:
            first = lo / 4;
            last = hi / 4;
            break;
        }
        first = std::max(first, next);
        last = std::min<uint64_t>(last, clusterLimit_);
        for (uint64_t c = first; c < last; ++c)
            if (fatEntry(uint32_t(c)) != 0) --free;
        next = std::max(next, last);
    }
    return free;
}

void FatImage::writeCluster(uint32_t cluster, const uint8_t *bytes, size_t length) {
    uint64_t first = clusterSector(cluster);
    size_t done = 0;
    for (uint32_t i = 0; i < spc_ && done < length; ++i) {
        size_t n = std::min<size_t>(kSector, length - done);
        uint8_t *s = mutableSector(uint32_t(first + i));
        std::memcpy(s, bytes + done, n);
        std::memset(s + n, 0, kSector - n);
        done += n;
    }
    // The whole cluster goes to the device, so that no stale bytes of the
    // device remain in the file's last cluster.
    dataEnd_ = std::max<uint32_t>(dataEnd_, uint32_t(first + spc_));
}

// --- BuildFatImage -------------------------------------------------------------------

bool BuildFatImage(FatImage &image, int layout, uint32_t areaSectors, uint32_t imageSectors) try {
    image.clear();

    FatKind kind;
    if (areaSectors > 4'096'000) {
        kind = FatKind::Fat32;
        layout = kLayoutTable63;
    } else if (areaSectors < 4200) {
        kind = FatKind::Fat12;
        layout = kLayoutNoTable;
    } else {
        kind = FatKind::Fat16;
        if (layout < kLayoutNoTable || layout > kLayoutTable32Track63) layout = kLayoutNoTable;
        // Every FAT reader takes a volume of fewer than 4085 clusters for FAT12,
        // whatever its boot sector says. A FAT16 volume that small would be
        // misread and corrupted, so such an area is built as a small area is.
        uint32_t v = areaSectors - volumeStartForLayout(layout);
        if (fat16Geometry(v).clusterLimit - 2 < kMinFat16Clusters) {
            kind = FatKind::Fat12;
            layout = kLayoutNoTable;
        }
    }

    uint32_t start = volumeStartForLayout(layout);
    uint32_t v = areaSectors - start;
    image.kind_ = kind;
    image.layout_ = layout;
    image.areaSectors_ = areaSectors;
    image.volumeStart_ = start;
    image.volumeSectors_ = v;
    image.minimumSectors_ = imageSectors;

    if (layout != kLayoutNoTable) {
        FatImage::Sector table{};
        buildPartitionTableSector(table.data(), layout, areaSectors, kind == FatKind::Fat32);
        image.writeSector(0, table.data());
    }

    if (kind == FatKind::Fat12) {
        FatImage::Sector boot = templateA();
        uint8_t *s = boot.data();
        s[ebpb16::kDriveNumber] = 0x00;
        s[bpb::kMedia] = 0xF0;
        putText(s + ebpb16::kFsType, "FAT12", 5);
        putText(s + ebpb16::kLabel, kOwnLabel, 10); // "Morvantek" and its NUL
        uint32_t spc = clusterSize(1, 128, v / 4085, 1);
        uint32_t n = ceilDiv(uint64_t(v) - 1 - 32, spc);
        uint32_t fatSize = ceilDiv(n, 341);
        s[bpb::kSectorsPerCluster] = uint8_t(spc);
        s[bpb::kFatCount] = 2;
        bo::putLE32(s + bpb::kTotalSectors32, 0);
        bo::putLE16(s + bpb::kTotalSectors16, uint16_t(v));
        bo::putLE32(s + bpb::kHiddenSectors, 0);
        bo::putLE16(s + bpb::kBytesPerSector, 512);
        bo::putLE16(s + bpb::kReservedSectors, 1);
        bo::putLE16(s + bpb::kRootEntries, 512);
        bo::putLE16(s + bpb::kFatSize16, uint16_t(fatSize));
        image.spc_ = spc;
        image.reserved_ = 1;
        image.fatSectors_ = fatSize;
        image.rootEntries_ = 512;
        image.clusterLimit_ = (v - 2 * fatSize - 1 - 32) / spc + 2;
        image.writeSector(start, s);
        // FAT[0] and FAT[1] all ones, not the media byte: the device's own format.
        image.setFatEntry(0, 0xFFF);
        image.setFatEntry(1, 0xFFF);
    } else if (kind == FatKind::Fat16) {
        FatImage::Sector boot = layout == kLayoutTable63 ? templateB() : templateA();
        uint8_t *s = boot.data();
        if (layout == kLayoutTable63) {
            s[ebpb16::kDriveNumber] = 0x80;
            s[bpb::kMedia] = 0xF8;
        } else {
            s[ebpb16::kDriveNumber] = 0x00;
            s[bpb::kMedia] = 0xF0;
            if (layout == kLayoutTable32Track63) bo::putLE16(s + bpb::kSectorsPerTrack, 63);
        }
        putText(s + ebpb16::kFsType, "FAT16", 5);
        putText(s + ebpb16::kLabel, kOwnLabel, 10);
        Fat16Geometry g = fat16Geometry(v);
        s[bpb::kSectorsPerCluster] = uint8_t(g.spc);
        s[bpb::kFatCount] = 2;
        bo::putLE16(s + bpb::kTotalSectors16, 0);
        bo::putLE32(s + bpb::kTotalSectors32, v);
        bo::putLE32(s + bpb::kHiddenSectors, start);
        bo::putLE16(s + bpb::kBytesPerSector, 512);
        bo::putLE16(s + bpb::kReservedSectors, 1);
        bo::putLE16(s + bpb::kRootEntries, 512);
        bo::putLE16(s + bpb::kFatSize16, uint16_t(g.fatSize));
        image.spc_ = g.spc;
        image.reserved_ = 1;
        image.fatSectors_ = g.fatSize;
        image.rootEntries_ = 512;
        image.clusterLimit_ = g.clusterLimit;
        image.writeSector(start, s);
        image.setFatEntry(0, 0xFFFF);
        image.setFatEntry(1, 0xFFFF);
    } else {
        auto tc = templateC();
        uint8_t *s = tc[0].data();
        s[ebpb32::kDriveNumber] = 0x80;
        s[bpb::kMedia] = 0xF8;
        s[ebpb32::kExtSignature] = 0x29;
        s[bpb::kFatCount] = 2;
        std::memset(s + ebpb32::kLabel, 0, 11);
        uint32_t spc = clusterSize(8, 64, v / 0x0FFFFFF0u, 128);
        uint32_t fatSize = ceilDiv((v - 32) / spc, 128);
        s[bpb::kSectorsPerCluster] = uint8_t(spc);
        bo::putLE32(s + bpb::kTotalSectors32, v);
        bo::putLE32(s + bpb::kHiddenSectors, 63);
        bo::putLE32(s + ebpb32::kRootCluster, 2);
        bo::putLE16(s + bpb::kReservedSectors, 32);
        bo::putLE32(s + ebpb32::kFatSize32, fatSize);
        bo::putLE16(s + ebpb32::kBackupBoot, 6);
        bo::putLE16(s + ebpb32::kFsInfoSector, 1);
        bo::putLE16(s + bpb::kBytesPerSector, 512);
        bo::putLE16(s + bpb::kRootEntries, 0);
        bo::putLE16(s + ebpb32::kVersion, 0);
        bo::putLE16(s + bpb::kFatSize16, 0);
        image.spc_ = spc;
        image.reserved_ = 32;
        image.fatSectors_ = fatSize;
        image.rootEntries_ = spc * 16;
        image.clusterLimit_ = uint32_t((uint64_t(v) - 2ull * fatSize - 32) / spc + 2);
        for (uint32_t i = 0; i < 3; ++i) image.writeSector(start + i, tc[i].data());
        image.setFatEntry(0, 0x0FFFFFF8);
        image.setFatEntry(1, 0x0FFFFFFF);
        image.setFatEntry(2, 0x0FFFFFFF); // the root directory's one cluster
        // The backup boot area keeps the template's FSInfo values.
        for (uint32_t i = 0; i < 6; ++i) {
            FatImage::Sector tmp;
            image.readSector(start + i, tmp.data());
            if (std::any_of(tmp.begin(), tmp.end(), [](uint8_t b) { return b != 0; }))
                image.writeSector(start + 6 + i, tmp.data());
        }
        uint8_t *info = image.mutableSector(start + 1);
        bo::putLE32(info + fsinfo::kFreeCount, image.clusterLimit_ - 3);
        bo::putLE32(info + fsinfo::kNextFree, 3);
        // A second copy of the boot area right behind the partition table sector,
        // describing the same FATs from there: 32 + 63 = 63 + 32.
        constexpr uint32_t kCopyAt = 32;
        for (uint32_t i = 0; i < 12; ++i) {
            FatImage::Sector tmp;
            image.readSector(start + i, tmp.data());
            if (i == 0 || i == 6) {
                bo::putLE16(tmp.data() + bpb::kReservedSectors, uint16_t(start + 32 - kCopyAt));
                bo::putLE32(tmp.data() + bpb::kHiddenSectors, kCopyAt);
            }
            if (std::any_of(tmp.begin(), tmp.end(), [](uint8_t b) { return b != 0; }))
                image.writeSector(kCopyAt + i, tmp.data());
        }
    }
    image.built_ = true;
    return true;
} catch (const std::bad_alloc &) {
    image.clear();
    return false;
}

// --- WriteImageToDevice ----------------------------------------------------------------

namespace {
constexpr uint32_t kMaxCommandSectors = 128;
// Shared source of zero sectors: a command over an untouched stretch of the
// image sends from here and copies nothing.
const std::array<uint8_t, kMaxCommandSectors * kSector> kZeroChunk{};
} // namespace

int WriteImageToDevice(const FatImage &image, uint32_t sectors, uint32_t start) {
    auto &st = state();
    if (!st.ops.WriteScsi) {
        setError(QUENDAL_ERR_DATA_WRITE);
        return 0;
    }
    std::vector<uint8_t> staging;
    const uint32_t total = sectors;
    uint32_t remaining = sectors;
    uint32_t position = 0;
    while (remaining > 0) {
        uint32_t n = std::min(remaining, kMaxCommandSectors);
        const uint8_t *data = kZeroChunk.data();
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t *src = image.sectorData(position + i);
            if (!src) continue;
            if (data == kZeroChunk.data()) {
                staging.assign(size_t(kMaxCommandSectors) * kSector, 0);
                data = staging.data();
            }
            std::memcpy(staging.data() + size_t(i) * kSector, src, kSector);
        }
        std::array<uint8_t, 12> cdb{};
        cdb[0] = 0x2A;
        bo::putBE32(cdb.data() + 2, start);
        bo::putBE16(cdb.data() + 7, uint16_t(n));
        int32_t result = st.ops.WriteScsi(cdb.data(), data, n * kSector);
        ReportProgress(int32_t(uint64_t(total - remaining) * 100 / total), "Building file system--");
        if ((result & 0xFFFF) == 0) {
            setError(QUENDAL_ERR_DATA_WRITE);
            return 0;
        }
        start += n;
        position += n;
        remaining -= n;
    }
    return 1;
}

} // namespace quendal
