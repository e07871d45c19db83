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
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <vector>

#include "VolumeStore.h"
#include "byteorder.h"
#include "fat_layout.h"
#include "file_io.h"
#include "platform/Drives.h"
#include "platform/FileNames.h"

namespace platform {
namespace {

using fat::Kind;
namespace dirent = fat::dirent;

class FatVolume {
public:
    FatVolume(VolumeStore &file, uint64_t base) : file_(file), base_(base) {}

    // Reads and checks the boot sector; limit is the byte length the volume may use.
    bool open(uint64_t limit) {
        uint8_t bs[512];
        if (!file_.readAt(base_, bs, sizeof bs)) return false;
        const auto g = fat::readGeometry(bs);
        // Only a volume every reader agrees on is written to; the FAT must have
        // an entry for every cluster, or writing the chain would spill into the
        // next FAT copy or the directory.
        if (!g || !g->sound()) return false;
        g_ = *g;
        // Everything that is written must stay inside the volume's space.
        volumeBytes_ = uint64_t(g_.totalSectors) * g_.bytesPerSector;
        if (limit != 0 && volumeBytes_ > limit) return false;

        activeFat_ = 0;
        mirrored_ = true;
        if (g_.kind == Kind::Fat32 && (g_.extFlags & fat::bpb32::kNoMirroring)) {
            // Mirroring off: only the active FAT is in use.
            mirrored_ = false;
            activeFat_ = g_.extFlags & fat::bpb32::kActiveFatMask;
        }
        fat_.resize(size_t(g_.fatSectors) * g_.bytesPerSector);
        return readBytes(g_.fatSector(activeFat_) * g_.bytesPerSector, fat_.data(), fat_.size());
    }

    Kind kind() const { return g_.kind; }
    uint32_t clusterBytes() const { return g_.clusterBytes(); }
    uint32_t rootEntries() const { return g_.rootEntries; }
    bool validCluster(uint32_t c) const { return g_.validCluster(c); }
    uint32_t entry(uint32_t c) const { return fat::getEntry(g_.kind, fat_, c); }
    uint32_t endOfChain() const { return fat::endOfChain(g_.kind); }

    void setEntry(uint32_t c, uint32_t v) {
        fat::setEntry(g_.kind, fat_, c, v);
        const fat::EntryPlace at = fat::entryPlace(g_.kind, c);
        dirtyFirst_ = std::min<size_t>(dirtyFirst_, at.offset / g_.bytesPerSector);
        dirtyLast_ = std::max<size_t>(dirtyLast_, (at.offset + at.bytes - 1) / g_.bytesPerSector);
        dirty_ = true;
    }

    // The clusters of a chain, stopping at its end, at a bad link or at a loop.
    std::vector<uint32_t> chain(uint32_t first) const {
        std::vector<uint32_t> out;
        std::set<uint32_t> seen;
        uint32_t c = first;
        while (validCluster(c) && seen.insert(c).second) {
            out.push_back(c);
            uint32_t next = entry(c);
            if (fat::isEndOfChain(g_.kind, next)) break;
            c = next;
        }
        return out;
    }

    // Takes count free clusters (not yet marked), searching from the FSInfo hint.
    bool findFree(uint32_t count, std::vector<uint32_t> *out, const std::set<uint32_t> &taken) {
        uint32_t start = 2;
        if (g_.kind == Kind::Fat32 && validCluster(nextFreeHint_)) start = nextFreeHint_;
        for (uint32_t i = 0; i < g_.clusters && out->size() < count; ++i) {
            uint32_t c = 2 + (start - 2 + i) % g_.clusters;
            if (entry(c) == 0 && !taken.count(c)) out->push_back(c);
        }
        return out->size() == count;
    }

    uint64_t clusterOffset(uint32_t c) const { return g_.clusterSector(c) * g_.bytesPerSector; }

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
        size_t from = dirtyFirst_ * g_.bytesPerSector;
        size_t length = (dirtyLast_ - dirtyFirst_ + 1) * g_.bytesPerSector;
        for (uint32_t copy = 0; copy < g_.fatCount; ++copy) {
            if (!mirrored_ && copy != activeFat_) continue;
            uint64_t at = g_.fatSector(copy) * g_.bytesPerSector + from;
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
        if (g_.kind != Kind::Fat32) {
            const uint64_t at = g_.rootDirSector() * g_.bytesPerSector;
            dir->segmentBytes = g_.rootDirSectors * g_.bytesPerSector;
            dir->segmentOffsets = {at};
            dir->bytes.resize(dir->segmentBytes);
            return readBytes(at, dir->bytes.data(), dir->bytes.size());
        }
        dir->clusters = chain(g_.rootCluster);
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
        for (uint32_t c = 2; c < g_.clusterLimit(); ++c)
            if (entry(c) == 0) ++n;
        return n;
    }

    bool loadFsInfo() {
        const uint16_t at = g_.fsInfoSector;
        if (g_.kind != Kind::Fat32 || at == 0 || at == 0xFFFF || at >= g_.reservedSectors) return true;
        uint8_t s[512];
        if (!readBytes(uint64_t(at) * g_.bytesPerSector, s, sizeof s)) return false;
        if (bo::getLE32(s + fat::fsinfo::kLeadSig) == fat::fsinfo::kLeadValue &&
            bo::getLE32(s + fat::fsinfo::kStructSig) == fat::fsinfo::kStructValue &&
            bo::getLE32(s + fat::fsinfo::kTrailSig) == fat::fsinfo::kTrailValue) {
            fsInfoValid_ = true;
            nextFreeHint_ = bo::getLE32(s + fat::fsinfo::kNextFree);
        }
        return true;
    }

    // The free count is counted afresh rather than adjusted: a stale count
    // (readers take it on trust) is worse than the time the count takes.
    bool storeFsInfo(uint32_t nextFree) {
        if (!fsInfoValid_) return true;
        uint8_t s[512];
        uint64_t at = uint64_t(g_.fsInfoSector) * g_.bytesPerSector;
        if (!readBytes(at, s, sizeof s)) return false;
        bo::putLE32(s + fat::fsinfo::kFreeCount, freeCount());
        bo::putLE32(s + fat::fsinfo::kNextFree, nextFree);
        return writeBytes(at, s, sizeof s);
    }

private:
    VolumeStore &file_;
    uint64_t base_;
    fat::Geometry g_;
    uint64_t volumeBytes_ = 0;
    uint32_t activeFat_ = 0;
    bool mirrored_ = true;
    bool fsInfoValid_ = false;
    uint32_t nextFreeHint_ = 0;
    std::vector<uint8_t> fat_;
    bool dirty_ = false;
    size_t dirtyFirst_ = SIZE_MAX;
    size_t dirtyLast_ = 0;
};

} // namespace

bool toShortName(const std::string &name, char out[11]) {
    const uint32_t codePage = fileNameCodePage();
    const auto form = fat::shortName(upperAnsi(name, codePage), codePage);
    if (!form || !form->exact) return false;
    std::memcpy(out, form->name.data(), 11);
    return true;
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

    // Find the file of that name and the first free slot. A fixed root
    // directory ends at its entry count, which may end inside a sector:
    // readers never look at the slots after it.
    size_t entries = root.bytes.size() / dirent::kSize;
    if (vol.kind() != Kind::Fat32) entries = std::min<size_t>(entries, vol.rootEntries());
    long existing = -1, freeSlot = -1;
    for (size_t i = 0; i < entries; ++i) {
        const uint8_t *e = &root.bytes[i * dirent::kSize];
        if (e[0] == dirent::kEnd) {
            if (freeSlot < 0) freeSlot = long(i);
            break; // end of directory: nothing follows
        }
        if (e[0] == dirent::kDeleted) {
            if (freeSlot < 0) freeSlot = long(i);
            continue;
        }
        uint8_t attr = e[dirent::kAttributes];
        if (attr == dirent::kAttrLongName || (attr & dirent::kAttrVolumeId)) continue;
        if (fat::sameShortName(e + dirent::kName, reinterpret_cast<const uint8_t *>(name83))) {
            if (attr & dirent::kAttrDirectory) return false; // never replace a directory
            existing = long(i);
            break;
        }
    }

    std::vector<uint32_t> oldChain;
    if (existing >= 0) {
        const uint8_t *e = &root.bytes[size_t(existing) * dirent::kSize];
        oldChain = vol.chain(dirent::firstCluster(vol.kind(), e));
    }

    const uint32_t clusterBytes = vol.clusterBytes();
    const uint32_t needed = uint32_t((size + clusterBytes - 1) / clusterBytes);
    const bool growRoot = existing < 0 && freeSlot < 0;
    if (growRoot && vol.kind() != Kind::Fat32) return false; // fixed root directory is full

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
    uint8_t *e = &root.bytes[slot * dirent::kSize];
    if (existing >= 0) {
        uint8_t sum = fat::longNameChecksum(e);
        for (size_t i = slot; i-- > 0;) {
            uint8_t *l = &root.bytes[i * dirent::kSize];
            if (l[dirent::kAttributes] != dirent::kAttrLongName || l[0] == dirent::kDeleted ||
                l[dirent::kLongNameChecksum] != sum)
                break;
            l[0] = dirent::kDeleted;
        }
    }
    // A moment the system cannot tell stands as the earliest FAT can hold.
    const fat::Stamp when = fat::stamp(fat::localDateTime(modified).value_or(fat::DateTime{}));
    std::memset(e, 0, dirent::kSize);
    std::memcpy(e + dirent::kName, name83, 11);
    e[dirent::kAttributes] = uint8_t(attributes & 0x27); // read-only, hidden, system, archive
    bo::putLE16(e + dirent::kCreateTime, when.time);
    bo::putLE16(e + dirent::kCreateDate, when.date);
    bo::putLE16(e + dirent::kAccessDate, when.date);
    dirent::setFirstCluster(vol.kind(), e, needed ? fileClusters[0] : 0);
    bo::putLE16(e + dirent::kWriteTime, when.time);
    bo::putLE16(e + dirent::kWriteDate, when.date);
    bo::putLE32(e + dirent::kFileSize, uint32_t(size));
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
