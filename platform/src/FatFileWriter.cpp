// Writes one file into the root directory of a FAT12/16/32 volume that lives
// inside an image file or block device and is not mounted here. This is how a
// file "created on a drive" reaches a volume of the drive map that has no mount
// directory: afterwards any FAT reader finds it, as if the original platform's
// file system driver had written it.
//
// Order of writes, so that an interrupted write never leaves a directory entry
// pointing at clusters that hold other data: the new clusters are taken from
// the free ones (the old file's clusters still count as used) and filled, the
// chain is recorded in every FAT copy, the directory entry is switched to it,
// and only then are the old file's clusters given back.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <vector>

#include "VolumeStore.h"
#include "byteorder.h"
#include "platform/Drives.h"

namespace platform {
namespace {

// Cluster-count limits that every FAT reader uses to tell the kinds apart.
constexpr uint32_t kMaxClustersFat12 = 4084;
constexpr uint32_t kMaxClustersFat16 = 65524;
constexpr uint32_t kDirEntrySize = 32;
constexpr uint8_t kAttrLongName = 0x0F;
constexpr uint8_t kAttrVolumeId = 0x08;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kDeletedMark = 0xE5;

// Boot sector / BPB offsets (all little-endian).
constexpr size_t kBpbBytesPerSector = 11;
constexpr size_t kBpbSectorsPerCluster = 13;
constexpr size_t kBpbReservedSectors = 14;
constexpr size_t kBpbFatCount = 16;
constexpr size_t kBpbRootEntries = 17;
constexpr size_t kBpbTotalSectors16 = 19;
constexpr size_t kBpbFatSize16 = 22;
constexpr size_t kBpbTotalSectors32 = 32;
constexpr size_t kBpb32FatSize = 36;
constexpr size_t kBpb32ExtFlags = 40;
constexpr size_t kBpb32RootCluster = 44;
constexpr size_t kBpb32FsInfoSector = 48;

// FSInfo sector of FAT32.
constexpr size_t kFsInfoLeadSig = 0;
constexpr size_t kFsInfoStructSig = 484;
constexpr size_t kFsInfoFreeCount = 488;
constexpr size_t kFsInfoNextFree = 492;
constexpr size_t kFsInfoTrailSig = 508;
constexpr uint32_t kFsInfoLeadValue = 0x41615252;
constexpr uint32_t kFsInfoStructValue = 0x61417272;
constexpr uint32_t kFsInfoTrailValue = 0xAA550000;

// Directory entry offsets.
constexpr size_t kDirName = 0;
constexpr size_t kDirAttr = 11;
constexpr size_t kDirNtCase = 12;
constexpr size_t kDirCreateTenths = 13;
constexpr size_t kDirCreateTime = 14;
constexpr size_t kDirCreateDate = 16;
constexpr size_t kDirAccessDate = 18;
constexpr size_t kDirClusterHigh = 20;
constexpr size_t kDirWriteTime = 22;
constexpr size_t kDirWriteDate = 24;
constexpr size_t kDirClusterLow = 26;
constexpr size_t kDirFileSize = 28;

enum class FatKind { Fat12, Fat16, Fat32 };

class FatVolume {
public:
    FatVolume(VolumeStore &file, uint64_t base) : file_(file), base_(base) {}

    // Reads and checks the boot sector; limit is the byte length the volume may use.
    bool open(uint64_t limit) {
        uint8_t bs[512];
        if (!file_.readAt(base_, bs, sizeof bs)) return false;
        if (bs[510] != 0x55 || bs[511] != 0xAA) return false;
        bps_ = bo::getLE16(bs + kBpbBytesPerSector);
        if (bps_ != 512 && bps_ != 1024 && bps_ != 2048 && bps_ != 4096) return false;
        spc_ = bs[kBpbSectorsPerCluster];
        if (spc_ == 0 || (spc_ & (spc_ - 1)) != 0) return false;
        reserved_ = bo::getLE16(bs + kBpbReservedSectors);
        fatCount_ = bs[kBpbFatCount];
        rootEntries_ = bo::getLE16(bs + kBpbRootEntries);
        uint32_t total = bo::getLE16(bs + kBpbTotalSectors16);
        if (total == 0) total = bo::getLE32(bs + kBpbTotalSectors32);
        fatSize_ = bo::getLE16(bs + kBpbFatSize16);
        bool fat32Layout = fatSize_ == 0;
        if (fat32Layout) fatSize_ = bo::getLE32(bs + kBpb32FatSize);
        if (reserved_ == 0 || fatCount_ == 0 || fatSize_ == 0 || total == 0) return false;

        uint64_t rootSectors = (uint64_t(rootEntries_) * kDirEntrySize + bps_ - 1) / bps_;
        uint64_t overhead = reserved_ + uint64_t(fatCount_) * fatSize_ + rootSectors;
        if (total <= overhead) return false;
        clusters_ = uint32_t((total - overhead) / spc_);
        if (clusters_ == 0) return false;
        dataStart_ = overhead;
        rootStart_ = reserved_ + uint64_t(fatCount_) * fatSize_;
        rootSectors_ = uint32_t(rootSectors);

        if (clusters_ <= kMaxClustersFat12)
            kind_ = FatKind::Fat12;
        else if (clusters_ <= kMaxClustersFat16)
            kind_ = FatKind::Fat16;
        else
            kind_ = FatKind::Fat32;
        if ((kind_ == FatKind::Fat32) != fat32Layout) return false;
        if (kind_ != FatKind::Fat32 && rootEntries_ == 0) return false;
        if (kind_ == FatKind::Fat32 && rootEntries_ != 0) return false;

        // The FAT must have an entry for every cluster, or writing the chain
        // would spill into the next FAT copy or the directory.
        uint64_t entriesBytes = kind_ == FatKind::Fat12   ? (uint64_t(clusters_ + 2) * 3 + 1) / 2
                                : kind_ == FatKind::Fat16 ? uint64_t(clusters_ + 2) * 2
                                                          : uint64_t(clusters_ + 2) * 4;
        if (entriesBytes > uint64_t(fatSize_) * bps_) return false;

        // Everything that is written must stay inside the volume's space.
        volumeBytes_ = uint64_t(total) * bps_;
        if (limit != 0 && volumeBytes_ > limit) return false;

        activeFat_ = 0;
        mirrored_ = true;
        if (kind_ == FatKind::Fat32) {
            uint16_t flags = bo::getLE16(bs + kBpb32ExtFlags);
            if (flags & 0x80) { // mirroring off: only the active FAT is in use
                mirrored_ = false;
                activeFat_ = flags & 0x0F;
                if (activeFat_ >= fatCount_) return false;
            }
            rootCluster_ = bo::getLE32(bs + kBpb32RootCluster);
            if (!validCluster(rootCluster_)) return false;
            fsInfoSector_ = bo::getLE16(bs + kBpb32FsInfoSector);
        }
        fat_.resize(size_t(fatSize_) * bps_);
        return readBytes(uint64_t(reserved_ + uint64_t(activeFat_) * fatSize_) * bps_, fat_.data(), fat_.size());
    }

    FatKind kind() const { return kind_; }
    uint32_t clusterBytes() const { return uint32_t(spc_) * bps_; }
    bool validCluster(uint32_t c) const { return c >= 2 && c < clusters_ + 2; }

    uint32_t entry(uint32_t c) const {
        switch (kind_) {
        case FatKind::Fat12: {
            size_t off = c + c / 2;
            uint16_t v = bo::getLE16(&fat_[off]);
            return (c & 1) ? v >> 4 : v & 0x0FFF;
        }
        case FatKind::Fat16: return bo::getLE16(&fat_[size_t(c) * 2]);
        case FatKind::Fat32: return bo::getLE32(&fat_[size_t(c) * 4]) & 0x0FFFFFFF;
        }
        return 0;
    }

    void setEntry(uint32_t c, uint32_t v) {
        size_t first = 0, last = 0;
        switch (kind_) {
        case FatKind::Fat12: {
            size_t off = c + c / 2;
            if (c & 1) {
                fat_[off] = uint8_t((fat_[off] & 0x0F) | ((v << 4) & 0xF0));
                fat_[off + 1] = uint8_t(v >> 4);
            } else {
                fat_[off] = uint8_t(v);
                fat_[off + 1] = uint8_t((fat_[off + 1] & 0xF0) | ((v >> 8) & 0x0F));
            }
            first = off;
            last = off + 1;
            break;
        }
        case FatKind::Fat16:
            bo::putLE16(&fat_[size_t(c) * 2], uint16_t(v));
            first = size_t(c) * 2;
            last = first + 1;
            break;
        case FatKind::Fat32: {
            // The top four bits are reserved and kept as found.
            uint8_t *p = &fat_[size_t(c) * 4];
            bo::putLE32(p, (bo::getLE32(p) & 0xF0000000) | (v & 0x0FFFFFFF));
            first = size_t(c) * 4;
            last = first + 3;
            break;
        }
        }
        dirtyFirst_ = std::min(dirtyFirst_, first / bps_);
        dirtyLast_ = std::max(dirtyLast_, last / bps_);
        dirty_ = true;
    }

    uint32_t endOfChain() const {
        return kind_ == FatKind::Fat12 ? 0xFFF : kind_ == FatKind::Fat16 ? 0xFFFF : 0x0FFFFFFF;
    }
    bool isEnd(uint32_t v) const {
        return kind_ == FatKind::Fat12 ? v >= 0xFF8 : kind_ == FatKind::Fat16 ? v >= 0xFFF8 : v >= 0x0FFFFFF8;
    }

    // The clusters of a chain, stopping at its end, at a bad link or at a loop.
    std::vector<uint32_t> chain(uint32_t first) const {
        std::vector<uint32_t> out;
        std::set<uint32_t> seen;
        uint32_t c = first;
        while (validCluster(c) && seen.insert(c).second) {
            out.push_back(c);
            uint32_t next = entry(c);
            if (isEnd(next)) break;
            c = next;
        }
        return out;
    }

    // Takes count free clusters (not yet marked), searching from the FSInfo hint.
    bool findFree(uint32_t count, std::vector<uint32_t> *out, const std::set<uint32_t> &taken) {
        uint32_t start = 2;
        if (kind_ == FatKind::Fat32 && validCluster(nextFreeHint_)) start = nextFreeHint_;
        for (uint32_t i = 0; i < clusters_ && out->size() < count; ++i) {
            uint32_t c = 2 + (start - 2 + i) % clusters_;
            if (entry(c) == 0 && !taken.count(c)) out->push_back(c);
        }
        return out->size() == count;
    }

    uint64_t clusterOffset(uint32_t c) const { return (dataStart_ + uint64_t(c - 2) * spc_) * bps_; }

    bool readBytes(uint64_t volOffset, uint8_t *buffer, size_t length) const {
        if (volOffset + length > volumeBytes_) return false;
        return file_.readAt(base_ + volOffset, buffer, length);
    }
    bool writeBytes(uint64_t volOffset, const uint8_t *buffer, size_t length) const {
        if (volOffset + length > volumeBytes_) return false;
        return file_.writeAt(base_ + volOffset, buffer, length);
    }

    // Writes the changed FAT sectors into every copy in use.
    bool flushFat() {
        if (!dirty_) return true;
        size_t from = dirtyFirst_ * bps_;
        size_t length = (dirtyLast_ - dirtyFirst_ + 1) * bps_;
        for (uint32_t copy = 0; copy < fatCount_; ++copy) {
            if (!mirrored_ && copy != activeFat_) continue;
            uint64_t at = (reserved_ + uint64_t(copy) * fatSize_) * bps_ + from;
            if (!writeBytes(at, fat_.data() + from, length)) return false;
        }
        dirty_ = false;
        dirtyFirst_ = SIZE_MAX;
        dirtyLast_ = 0;
        return true;
    }

    // The root directory as a list of byte ranges (one for FAT12/16, one per
    // cluster for FAT32) and their contents.
    struct Directory {
        std::vector<uint8_t> bytes;
        std::vector<uint64_t> segmentOffsets;
        uint32_t segmentBytes = 0;
        std::vector<uint32_t> clusters; // FAT32 only
    };

    bool readRoot(Directory *dir) const {
        if (kind_ != FatKind::Fat32) {
            dir->segmentBytes = rootSectors_ * bps_;
            dir->segmentOffsets = {rootStart_ * bps_};
            dir->bytes.resize(dir->segmentBytes);
            return readBytes(rootStart_ * bps_, dir->bytes.data(), dir->bytes.size());
        }
        dir->clusters = chain(rootCluster_);
        dir->segmentBytes = clusterBytes();
        dir->bytes.resize(size_t(dir->clusters.size()) * dir->segmentBytes);
        for (size_t i = 0; i < dir->clusters.size(); ++i) {
            uint64_t at = clusterOffset(dir->clusters[i]);
            dir->segmentOffsets.push_back(at);
            if (!readBytes(at, dir->bytes.data() + i * dir->segmentBytes, dir->segmentBytes)) return false;
        }
        return true;
    }

    bool writeRoot(const Directory &dir) const {
        for (size_t i = 0; i < dir.segmentOffsets.size(); ++i)
            if (!writeBytes(dir.segmentOffsets[i], dir.bytes.data() + i * dir.segmentBytes, dir.segmentBytes))
                return false;
        return true;
    }

    uint32_t freeCount() const {
        uint32_t n = 0;
        for (uint32_t c = 2; c < clusters_ + 2; ++c)
            if (entry(c) == 0) ++n;
        return n;
    }

    bool loadFsInfo() {
        if (kind_ != FatKind::Fat32 || fsInfoSector_ == 0 || fsInfoSector_ == 0xFFFF || fsInfoSector_ >= reserved_)
            return true;
        uint8_t s[512];
        if (!readBytes(uint64_t(fsInfoSector_) * bps_, s, sizeof s)) return false;
        if (bo::getLE32(s + kFsInfoLeadSig) == kFsInfoLeadValue &&
            bo::getLE32(s + kFsInfoStructSig) == kFsInfoStructValue &&
            bo::getLE32(s + kFsInfoTrailSig) == kFsInfoTrailValue) {
            fsInfoValid_ = true;
            nextFreeHint_ = bo::getLE32(s + kFsInfoNextFree);
        }
        return true;
    }

    // The free count is counted afresh rather than adjusted: a stale count
    // (readers take it on trust) is worse than the time the count takes.
    bool storeFsInfo(uint32_t nextFree) {
        if (!fsInfoValid_) return true;
        uint8_t s[512];
        uint64_t at = uint64_t(fsInfoSector_) * bps_;
        if (!readBytes(at, s, sizeof s)) return false;
        bo::putLE32(s + kFsInfoFreeCount, freeCount());
        bo::putLE32(s + kFsInfoNextFree, nextFree);
        return writeBytes(at, s, sizeof s);
    }

    uint32_t rootCluster() const { return rootCluster_; }

private:
    VolumeStore &file_;
    uint64_t base_;
    uint16_t bps_ = 0;
    uint8_t spc_ = 0;
    uint16_t reserved_ = 0;
    uint8_t fatCount_ = 0;
    uint16_t rootEntries_ = 0;
    uint32_t fatSize_ = 0;
    uint32_t clusters_ = 0;
    uint64_t dataStart_ = 0;
    uint64_t rootStart_ = 0;
    uint32_t rootSectors_ = 0;
    uint64_t volumeBytes_ = 0;
    FatKind kind_ = FatKind::Fat12;
    uint32_t activeFat_ = 0;
    bool mirrored_ = true;
    uint32_t rootCluster_ = 0;
    uint16_t fsInfoSector_ = 0;
    bool fsInfoValid_ = false;
    uint32_t nextFreeHint_ = 0;
    std::vector<uint8_t> fat_;
    bool dirty_ = false;
    size_t dirtyFirst_ = SIZE_MAX;
    size_t dirtyLast_ = 0;
};

// Short names are stored in upper case, but some writers leave lower-case
// letters in them; readers match them without regard to case, and so do we,
// or a second entry of the same name would appear beside the old one.
bool sameShortName(const uint8_t *entry, const char *name83) {
    for (int i = 0; i < 11; ++i)
        if (std::toupper(entry[i]) != std::toupper(static_cast<unsigned char>(name83[i]))) return false;
    return true;
}

uint8_t shortNameChecksum(const uint8_t *name) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

void fatTimeStamp(int64_t when, uint16_t *date, uint16_t *time) {
    std::time_t t = std::time_t(when);
    std::tm tm{};
    // FAT dates run from 1980 to 2107; outside that the earliest date stands in.
#ifdef _WIN32
    bool known = localtime_s(&tm, &t) == 0;
#else
    bool known = localtime_r(&t, &tm) != nullptr;
#endif
    if (!known || tm.tm_year + 1900 < 1980 || tm.tm_year + 1900 > 2107) {
        *date = uint16_t((1 << 5) | 1);
        *time = 0;
        return;
    }
    *date = uint16_t(((tm.tm_year + 1900 - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    *time = uint16_t((tm.tm_hour << 11) | (tm.tm_min << 5) | (std::min(tm.tm_sec, 59) / 2));
}

} // namespace

bool toShortName(const std::string &name, char out[11]) {
    size_t dot = name.find('.');
    std::string base = name.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
    if (ext.find('.') != std::string::npos) return false;
    // Characters a short name may hold (letters are stored in upper case).
    static const char kSpecial[] = "$%'-_@~`!(){}^#&";
    auto valid = [](char ch) {
        unsigned char u = static_cast<unsigned char>(ch);
        return std::isalnum(u) || std::strchr(kSpecial, ch) != nullptr || u >= 0x80;
    };
    std::memset(out, ' ', 11);
    for (size_t i = 0; i < base.size(); ++i) {
        if (!valid(base[i])) return false;
        out[i] = char(std::toupper(static_cast<unsigned char>(base[i])));
    }
    for (size_t i = 0; i < ext.size(); ++i) {
        if (!valid(ext[i])) return false;
        out[8 + i] = char(std::toupper(static_cast<unsigned char>(ext[i])));
    }
    // 0xE5 in the first byte marks a deleted entry; such names cannot be stored.
    return static_cast<unsigned char>(out[0]) != kDeletedMark;
}

bool writeFatRootFile(const std::string &source, uint64_t volumeOffset, uint64_t volumeLength, const char name83[11],
                      const uint8_t *data, size_t size, uint8_t attributes, int64_t modified) {
    if (size > 0xFFFFFFFFu || (size > 0 && data == nullptr) || name83 == nullptr) return false;
    std::unique_ptr<VolumeStore> file = openVolumeStore(source);
    if (!file) return false;

    FatVolume vol(*file, volumeOffset);
    if (!vol.open(volumeLength) || !vol.loadFsInfo()) return false;

    FatVolume::Directory root;
    if (!vol.readRoot(&root)) return false;

    // Find the file of that name and the first free slot.
    const size_t entries = root.bytes.size() / kDirEntrySize;
    long existing = -1, freeSlot = -1;
    for (size_t i = 0; i < entries; ++i) {
        const uint8_t *e = &root.bytes[i * kDirEntrySize];
        if (e[0] == 0x00) {
            if (freeSlot < 0) freeSlot = long(i);
            break; // end of directory: nothing follows
        }
        if (e[0] == kDeletedMark) {
            if (freeSlot < 0) freeSlot = long(i);
            continue;
        }
        uint8_t attr = e[kDirAttr];
        if (attr == kAttrLongName || (attr & kAttrVolumeId)) continue;
        if (sameShortName(e + kDirName, name83)) {
            if (attr & kAttrDirectory) return false; // never replace a directory
            existing = long(i);
            break;
        }
    }

    std::vector<uint32_t> oldChain;
    if (existing >= 0) {
        const uint8_t *e = &root.bytes[size_t(existing) * kDirEntrySize];
        uint32_t first = bo::getLE16(e + kDirClusterLow);
        if (vol.kind() == FatKind::Fat32) first |= uint32_t(bo::getLE16(e + kDirClusterHigh)) << 16;
        oldChain = vol.chain(first);
    }

    const uint32_t clusterBytes = vol.clusterBytes();
    const uint32_t needed = uint32_t((size + clusterBytes - 1) / clusterBytes);
    const bool growRoot = existing < 0 && freeSlot < 0;
    if (growRoot && vol.kind() != FatKind::Fat32) return false; // fixed root directory is full

    std::set<uint32_t> oldSet(oldChain.begin(), oldChain.end());
    std::vector<uint32_t> fresh;
    if (!vol.findFree(needed + (growRoot ? 1 : 0), &fresh, oldSet)) return false;
    std::vector<uint32_t> fileClusters(fresh.begin(), fresh.begin() + needed);

    // 1. The file's data, the last cluster padded with zeros.
    std::vector<uint8_t> buffer(clusterBytes);
    for (uint32_t i = 0; i < needed; ++i) {
        size_t from = size_t(i) * clusterBytes;
        size_t n = std::min<size_t>(clusterBytes, size - from);
        std::memcpy(buffer.data(), data + from, n);
        std::memset(buffer.data() + n, 0, clusterBytes - n);
        if (!vol.writeBytes(vol.clusterOffset(fileClusters[i]), buffer.data(), clusterBytes)) return false;
    }

    // 2. A new, empty cluster for a full FAT32 root directory.
    size_t slot = existing >= 0 ? size_t(existing) : size_t(freeSlot);
    if (growRoot) {
        uint32_t extra = fresh.back();
        std::fill(buffer.begin(), buffer.end(), 0);
        if (!vol.writeBytes(vol.clusterOffset(extra), buffer.data(), clusterBytes)) return false;
        vol.setEntry(root.clusters.back(), extra);
        vol.setEntry(extra, vol.endOfChain());
        slot = entries;
        root.bytes.resize(root.bytes.size() + clusterBytes, 0);
        root.segmentOffsets.push_back(vol.clusterOffset(extra));
        root.clusters.push_back(extra);
    }

    // 3. The chain, in every FAT copy.
    for (uint32_t i = 0; i < needed; ++i)
        vol.setEntry(fileClusters[i], i + 1 < needed ? fileClusters[i + 1] : vol.endOfChain());
    if (!vol.flushFat()) return false;

    // 4. The directory entry, and the long-name entries of a replaced file dropped.
    uint8_t *e = &root.bytes[slot * kDirEntrySize];
    if (existing >= 0) {
        uint8_t sum = shortNameChecksum(e);
        for (size_t i = slot; i-- > 0;) {
            uint8_t *l = &root.bytes[i * kDirEntrySize];
            if (l[kDirAttr] != kAttrLongName || l[0] == kDeletedMark || l[13] != sum) break;
            l[0] = kDeletedMark;
        }
    }
    uint16_t date = 0, time = 0;
    fatTimeStamp(modified, &date, &time);
    std::memset(e, 0, kDirEntrySize);
    std::memcpy(e + kDirName, name83, 11);
    e[kDirAttr] = uint8_t(attributes & 0x27); // read-only, hidden, system, archive
    e[kDirNtCase] = 0;
    e[kDirCreateTenths] = 0;
    bo::putLE16(e + kDirCreateTime, time);
    bo::putLE16(e + kDirCreateDate, date);
    bo::putLE16(e + kDirAccessDate, date);
    uint32_t first = needed ? fileClusters[0] : 0;
    if (vol.kind() == FatKind::Fat32) bo::putLE16(e + kDirClusterHigh, uint16_t(first >> 16));
    bo::putLE16(e + kDirWriteTime, time);
    bo::putLE16(e + kDirWriteDate, date);
    bo::putLE16(e + kDirClusterLow, uint16_t(first));
    bo::putLE32(e + kDirFileSize, uint32_t(size));
    if (!vol.writeRoot(root)) return false;

    // 5. The replaced file's clusters given back.
    for (uint32_t c : oldChain) vol.setEntry(c, 0);
    if (!vol.flushFat()) return false;

    uint32_t nextFree = fresh.empty() ? 0xFFFFFFFF : fresh.back() + 1;
    if (!vol.validCluster(nextFree)) nextFree = 0xFFFFFFFF;
    if (!vol.storeFsInfo(nextFree)) return false;
    return file->finish();
}

} // namespace platform
