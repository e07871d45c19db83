// The FAT volume builder: boot-sector templates, geometry of FAT12, FAT16 and
// FAT32 volumes placed behind the area's partition table sector, and the writer
// that sends an area image to the device in WRITE(10) commands.
#include "FatImage.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "Internal.h"
#include "fat_layout.h"
#include "LibraryState.h"
#include "byteorder.h"

#if __has_include("BootCode.h")
#include "BootCode.h"
#define QUENDAL_HAVE_BOOTCODE 1
#endif

namespace quendal {

namespace {

constexpr uint32_t kSector = 512;

constexpr uint8_t kOemNameAB[8] = {0x40, 0x53, 0x57, 0x49, 0x4E, 0x34, 0x2E, 0x31};
constexpr uint8_t kOemNameC[8] = {0x2B, 0x6A, 0x30, 0x7C, 0x38, 0x49, 0x48, 0x43};
constexpr char kNoName[] = "NO NAME    ";
constexpr char kOwnLabel[] = "Morvantek"; // written with a NUL as the 10th byte

void putText(uint8_t *p, const char *text, size_t n) { std::memcpy(p, text, n); }

void copyCode(uint8_t *sector, size_t offset, const uint8_t *code, size_t size) {
    size_t room = fat::bpb::kSignature - offset;
    std::memcpy(sector + offset, code, std::min(size, room));
}

// Fields every template shares.
void fillCommonBpb(uint8_t *s) {
    std::memcpy(s + fat::bpb::kOemName, kOemNameAB, 8);
    bo::putLE16(s + fat::bpb::kBytesPerSector, 512);
    s[fat::bpb::kFatCount] = 2;
    s[fat::bpb::kMedia] = 0xF8;
    s[fat::bpb::kSignature] = 0x55;
    s[fat::bpb::kSignature + 1] = 0xAA;
}

// Templates A and B, which differ only in these fields.
struct Fat16Template {
    uint8_t jump;        // second byte of the jump
    uint16_t track;      // sectors per track
    uint16_t heads;      // 16-bit
    uint32_t hidden;     // sectors
    uint32_t total;      // sectors
    uint8_t afterDrive;  // the byte after the drive number
    const uint8_t *code; // boot code, or nullptr
    size_t codeOffset, codeSize;
};

FatImage::Sector fat16Template(const Fat16Template &f) {
    FatImage::Sector t{};
    uint8_t *s = t.data();
    s[0] = 0xEB;
    s[1] = f.jump;
    s[2] = 0x90;
    fillCommonBpb(s);
    s[fat::bpb::kSectorsPerCluster] = 4;
    bo::putLE16(s + fat::bpb::kReservedSectors, 1);
    bo::putLE16(s + fat::bpb::kRootEntries, 512);
    bo::putLE16(s + fat::bpb::kFatSize16, 250);
    bo::putLE16(s + fat::bpb::kSectorsPerTrack, f.track);
    bo::putLE16(s + fat::bpb::kHeads, f.heads);
    bo::putLE32(s + fat::bpb::kHiddenSectors, f.hidden);
    bo::putLE32(s + fat::bpb::kTotalSectors32, f.total);
    s[fat::bpb16::kDriveNumber] = 0x80;
    s[fat::bpb16::kReserved] = f.afterDrive;
    s[fat::bpb16::kExtSignature] = 0x29;
    bo::putLE32(s + fat::bpb16::kSerial, 0x12345678);
    putText(s + fat::bpb16::kLabel, kNoName, 11);
    putText(s + fat::bpb16::kFsType, "FAT16   ", 8);
    if (f.code) copyCode(s, f.codeOffset, f.code, f.codeSize);
    return t;
}

// Template A: FAT12 and FAT16 without the HDD layout.
FatImage::Sector templateA() {
#ifdef QUENDAL_HAVE_BOOTCODE
    return fat16Template({0x3E, 32, 32, 32, 255968, 0x01, bootcode::kFatLoaderA, bootcode::kFatLoaderAOffset,
                          bootcode::kFatLoaderASize});
#else
    return fat16Template({0x3E, 32, 32, 32, 255968, 0x01, nullptr, 0, 0});
#endif
}

// Template B: FAT16 behind a partition table at 63 (HDD boot).
FatImage::Sector templateB() {
#ifdef QUENDAL_HAVE_BOOTCODE
    return fat16Template({0x3C, 63, 255, 63, 255937, 0x00, bootcode::kFatLoaderB, bootcode::kFatLoaderBOffset,
                          bootcode::kFatLoaderBSize});
#else
    return fat16Template({0x3C, 63, 255, 63, 255937, 0x00, nullptr, 0, 0});
#endif
}

// Template C: FAT32, three sectors (boot sector, FSInfo, a signed empty sector).
std::array<FatImage::Sector, 3> templateC() {
    std::array<FatImage::Sector, 3> t{};
    uint8_t *s = t[0].data();
    s[0] = 0xEB;
    s[1] = 0x5A;
    s[2] = 0x90;
    fillCommonBpb(s);
    std::memcpy(s + fat::bpb::kOemName, kOemNameC, 8);
    s[fat::bpb::kSectorsPerCluster] = 1;
    bo::putLE16(s + fat::bpb::kReservedSectors, 32);
    bo::putLE16(s + fat::bpb::kRootEntries, 0);
    bo::putLE16(s + fat::bpb::kFatSize16, 0);
    bo::putLE16(s + fat::bpb::kSectorsPerTrack, 32);
    bo::putLE16(s + fat::bpb::kHeads, 64);
    bo::putLE32(s + fat::bpb::kHiddenSectors, 32);
    bo::putLE32(s + fat::bpb::kTotalSectors32, 255968);
    bo::putLE32(s + fat::bpb32::kFatSize32, 1969);
    bo::putLE16(s + fat::bpb32::kExtFlags, 0);
    bo::putLE16(s + fat::bpb32::kVersion, 0);
    bo::putLE32(s + fat::bpb32::kRootCluster, 2);
    bo::putLE16(s + fat::bpb32::kFsInfoSector, 1);
    bo::putLE16(s + fat::bpb32::kBackupBoot, 6);
    s[fat::bpb32::kDriveNumber] = 0x80;
    s[fat::bpb32::kExtSignature] = 0x29;
    bo::putLE32(s + fat::bpb32::kSerial, 0x170E3863);
    putText(s + fat::bpb32::kLabel, kNoName, 11);
    putText(s + fat::bpb32::kFsType, "FAT32   ", 8);
#ifdef QUENDAL_HAVE_BOOTCODE
    copyCode(s, bootcode::kFatLoaderCOffset, bootcode::kFatLoaderC, bootcode::kFatLoaderCSize);
#endif

    uint8_t *f = t[1].data();
    putText(f + fat::fsinfo::kLeadSig, "RRaA", 4);
    putText(f + fat::fsinfo::kStructSig, "rrAa", 4);
    bo::putLE32(f + fat::fsinfo::kFreeCount, 0xFFFFFFFF);
    bo::putLE32(f + fat::fsinfo::kNextFree, 0xFFFFFFFF);
    f[fat::fsinfo::kTrailSig + 2] = 0x55;
    f[fat::fsinfo::kTrailSig + 3] = 0xAA;

    t[2][fat::bpb::kSignature] = 0x55;
    t[2][fat::bpb::kSignature + 1] = 0xAA;
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

// Fields the device's FAT12 and FAT16 volumes share: one reserved sector, 512
// root entries (32 sectors), two FATs, its own label.
void fillSmallVolume(uint8_t *s, const char *type, uint32_t spc, uint32_t fatSize) {
    putText(s + fat::bpb16::kFsType, type, 5);
    putText(s + fat::bpb16::kLabel, kOwnLabel, 10); // "Morvantek" and its NUL
    s[fat::bpb::kSectorsPerCluster] = uint8_t(spc);
    s[fat::bpb::kFatCount] = 2;
    bo::putLE16(s + fat::bpb::kBytesPerSector, 512);
    bo::putLE16(s + fat::bpb::kReservedSectors, 1);
    bo::putLE16(s + fat::bpb::kRootEntries, 512);
    bo::putLE16(s + fat::bpb::kFatSize16, uint16_t(fatSize));
}

// Boot sector of a FAT12 volume of v sectors at the area's start.
FatImage::Sector fat12BootSector(uint32_t v) {
    FatImage::Sector boot = templateA();
    uint8_t *s = boot.data();
    s[fat::bpb16::kDriveNumber] = 0x00;
    s[fat::bpb::kMedia] = 0xF0;
    const uint32_t spc = clusterSize(1, 128, v / 4085, 1);
    const uint32_t n = ceilDiv(uint64_t(v) - 1 - 32, spc);
    fillSmallVolume(s, "FAT12", spc, ceilDiv(n, 341));
    bo::putLE32(s + fat::bpb::kTotalSectors32, 0);
    bo::putLE16(s + fat::bpb::kTotalSectors16, uint16_t(v));
    bo::putLE32(s + fat::bpb::kHiddenSectors, 0);
    return boot;
}

// Boot sector of a FAT16 volume of v sectors at area sector start.
FatImage::Sector fat16BootSector(int layout, uint32_t v, uint32_t start) {
    FatImage::Sector boot = layout == kLayoutTable63 ? templateB() : templateA();
    uint8_t *s = boot.data();
    if (layout == kLayoutTable63) {
        s[fat::bpb16::kDriveNumber] = 0x80;
        s[fat::bpb::kMedia] = 0xF8;
    } else {
        s[fat::bpb16::kDriveNumber] = 0x00;
        s[fat::bpb::kMedia] = 0xF0;
        if (layout == kLayoutTable32Track63) bo::putLE16(s + fat::bpb::kSectorsPerTrack, 63);
    }
    const uint32_t spc = clusterSize(1, 128, v / 65534, 128);
    const uint32_t n = ceilDiv(uint64_t(v) - 1 - 32, spc);
    fillSmallVolume(s, "FAT16", spc, ceilDiv(n, 256));
    bo::putLE16(s + fat::bpb::kTotalSectors16, 0);
    bo::putLE32(s + fat::bpb::kTotalSectors32, v);
    bo::putLE32(s + fat::bpb::kHiddenSectors, start);
    return boot;
}

// Boot sector, FSInfo and signed sector of a FAT32 volume of v sectors at 63.
// FSInfo keeps the template's unknown counts; the builder fills them in.
std::array<FatImage::Sector, 3> fat32BootSectors(uint32_t v) {
    auto tc = templateC();
    uint8_t *s = tc[0].data();
    s[fat::bpb32::kDriveNumber] = 0x80;
    s[fat::bpb::kMedia] = 0xF8;
    s[fat::bpb32::kExtSignature] = 0x29;
    s[fat::bpb::kFatCount] = 2;
    std::memset(s + fat::bpb32::kLabel, 0, 11);
    const uint32_t spc = clusterSize(8, 64, v / 0x0FFFFFF0u, 128);
    s[fat::bpb::kSectorsPerCluster] = uint8_t(spc);
    bo::putLE32(s + fat::bpb::kTotalSectors32, v);
    bo::putLE32(s + fat::bpb::kHiddenSectors, 63);
    bo::putLE32(s + fat::bpb32::kRootCluster, 2);
    bo::putLE16(s + fat::bpb::kReservedSectors, 32);
    bo::putLE32(s + fat::bpb32::kFatSize32, ceilDiv((v - 32) / spc, 128));
    bo::putLE16(s + fat::bpb32::kBackupBoot, 6);
    bo::putLE16(s + fat::bpb32::kFsInfoSector, 1);
    bo::putLE16(s + fat::bpb::kBytesPerSector, 512);
    bo::putLE16(s + fat::bpb::kRootEntries, 0);
    bo::putLE16(s + fat::bpb32::kVersion, 0);
    bo::putLE16(s + fat::bpb::kFatSize16, 0);
    return tc;
}

bool allZero(const FatImage::Sector &s) {
    return std::all_of(s.begin(), s.end(), [](uint8_t b) { return b == 0; });
}

} // namespace

// --- FatImage ------------------------------------------------------------------------

FatImage::~FatImage() = default;

void FatImage::clear() {
    sectors_.clear();
    fat_.clear();
    built_ = false;
    geometry_ = fat::Geometry{};
    layout_ = kLayoutNoTable;
    areaSectors_ = volumeStart_ = rootEntries_ = minimumSectors_ = dataEnd_ = 0;
}

uint32_t FatImage::rootDirSector() const {
    if (kind() == FatKind::Fat32) return uint32_t(clusterSector(2));
    return uint32_t(volumeStart_ + geometry_.rootDirSector());
}

uint32_t FatImage::systemEnd() const {
    if (kind() == FatKind::Fat32) return uint32_t(clusterSector(2) + geometry_.sectorsPerCluster);
    return uint32_t(volumeStart_ + geometry_.firstDataSector());
}

uint32_t FatImage::imageSectors() const {
    if (!built_) return 0;
    return std::max({minimumSectors_, systemEnd(), dataEnd_});
}

bool FatImage::inFatRegion(uint32_t sector, uint32_t *fatSector) const {
    const uint64_t first = volumeStart_ + geometry_.fatSector(0);
    const uint32_t size = geometry_.fatSectors;
    if (sector < first || sector - first >= uint64_t(geometry_.fatCount) * size) return false;
    *fatSector = uint32_t(sector - first) % size; // the second FAT mirrors the first
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

// The entry's bytes are gathered one by one: a FAT12 entry may straddle two
// sectors of the FAT, and either may not be in memory.
uint32_t FatImage::fatEntry(uint32_t cluster) const {
    const fat::EntryPlace at = fat::entryPlace(kind(), cluster);
    uint32_t raw = 0;
    for (uint32_t i = 0; i < at.bytes; ++i) raw |= uint32_t(fatByte(at.offset + i)) << (8 * i);
    return fat::decodeEntry(kind(), cluster, raw);
}

void FatImage::setFatEntry(uint32_t cluster, uint32_t value) {
    const fat::EntryPlace at = fat::entryPlace(kind(), cluster);
    uint32_t raw = 0;
    for (uint32_t i = 0; i < at.bytes; ++i) raw |= uint32_t(fatByte(at.offset + i)) << (8 * i);
    raw = fat::encodeEntry(kind(), cluster, raw, value);
    for (uint32_t i = 0; i < at.bytes; ++i) setFatByte(at.offset + i, uint8_t(raw >> (8 * i)));
}

uint64_t FatImage::freeClusters() const {
    const uint32_t limit = clusterLimit();
    if (!built_ || limit < 2) return 0;
    uint64_t free = limit - 2;
    // Only FAT sectors in memory can hold a used entry; visit the clusters whose
    // entries touch them, each once.
    uint64_t next = 2;
    for (const auto &[s, data] : fat_) {
        uint64_t lo = uint64_t(s) * kSector, hi = lo + kSector; // byte range [lo, hi)
        uint64_t first, last;                                   // clusters whose entry bytes overlap the range
        switch (kind()) {
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
        last = std::min<uint64_t>(last, limit);
        for (uint64_t c = first; c < last; ++c)
            if (fatEntry(uint32_t(c)) != 0) --free;
        next = std::max(next, last);
    }
    return free;
}

void FatImage::writeCluster(uint32_t cluster, const uint8_t *bytes, size_t length) {
    const uint64_t first = clusterSector(cluster);
    const uint32_t spc = geometry_.sectorsPerCluster;
    size_t done = 0;
    for (uint32_t i = 0; i < spc && done < length; ++i) {
        size_t n = std::min<size_t>(kSector, length - done);
        uint8_t *s = mutableSector(uint32_t(first + i));
        std::memcpy(s, bytes + done, n);
        std::memset(s + n, 0, kSector - n);
        done += n;
    }
    // The whole cluster goes to the device, so that no stale bytes of the
    // device remain in the file's last cluster.
    dataEnd_ = std::max<uint32_t>(dataEnd_, uint32_t(first + spc));
}

// --- BuildFatImage -------------------------------------------------------------------

bool BuildFatImage(FatImage &image, int layout, uint32_t areaSectors, uint32_t imageSectors) try {
    image.clear();

    FatKind kind;
    std::array<FatImage::Sector, 3> boot{}; // the volume's first sectors
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
        const uint32_t start = volumeStartForLayout(layout);
        boot[0] = fat16BootSector(layout, areaSectors - start, start);
        const auto g = fat::readGeometry(boot[0].data());
        if (!g || g->kind != FatKind::Fat16) {
            kind = FatKind::Fat12;
            layout = kLayoutNoTable;
        }
    }
    const uint32_t start = volumeStartForLayout(layout);
    const uint32_t v = areaSectors - start;
    if (kind == FatKind::Fat12) boot[0] = fat12BootSector(v);
    if (kind == FatKind::Fat32) boot = fat32BootSectors(v);
    // Too small an area leaves no volume the formulas can describe.
    const auto g = fat::readGeometry(boot[0].data());
    if (areaSectors <= start + 1 + 32 || !g || g->kind != kind || !g->sound()) return false;

    image.geometry_ = *g;
    image.layout_ = layout;
    image.areaSectors_ = areaSectors;
    image.volumeStart_ = start;
    image.rootEntries_ = kind == FatKind::Fat32 ? g->sectorsPerCluster * 16 : g->rootEntries;
    image.minimumSectors_ = imageSectors;

    if (layout != kLayoutNoTable) {
        FatImage::Sector table{};
        buildPartitionTableSector(table.data(), layout, areaSectors, kind == FatKind::Fat32);
        image.writeSector(0, table.data());
    }
    image.writeSector(start, boot[0].data());

    if (kind != FatKind::Fat32) {
        // FAT[0] and FAT[1] all ones, not the media byte: the device's own format.
        image.setFatEntry(0, image.endOfChain());
        image.setFatEntry(1, image.endOfChain());
    } else {
        for (uint32_t i = 1; i < 3; ++i) image.writeSector(start + i, boot[i].data());
        image.setFatEntry(0, 0x0FFFFFF8);
        image.setFatEntry(1, 0x0FFFFFFF);
        image.setFatEntry(2, 0x0FFFFFFF); // the root directory's one cluster
        // The backup boot area keeps the template's FSInfo values.
        for (uint32_t i = 0; i < 3; ++i)
            if (!allZero(boot[i])) image.writeSector(start + 6 + i, boot[i].data());
        uint8_t *info = image.mutableSector(start + 1);
        bo::putLE32(info + fat::fsinfo::kFreeCount, image.clusterLimit() - 3);
        bo::putLE32(info + fat::fsinfo::kNextFree, 3);
        // A second copy of the boot area right behind the partition table sector,
        // describing the same FATs from there: 32 + 63 = 63 + 32.
        constexpr uint32_t kCopyAt = 32;
        for (uint32_t i = 0; i < 12; ++i) {
            FatImage::Sector tmp;
            image.readSector(start + i, tmp.data());
            if (i == 0 || i == 6) {
                bo::putLE16(tmp.data() + fat::bpb::kReservedSectors, uint16_t(start + 32 - kCopyAt));
                bo::putLE32(tmp.data() + fat::bpb::kHiddenSectors, kCopyAt);
            }
            if (!allZero(tmp)) image.writeSector(kCopyAt + i, tmp.data());
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
