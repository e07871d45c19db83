// The configuration table: the scan of the controller's information area for
// its copies (GetConfigTable), the values taken over from a loaded table
// (UpdateParam), the layout fields of a new table (CreateNewCfgtblV2), the
// single-command table store and the capacity queries.
#include <algorithm>
#include <cstring>
#include <vector>

#include "Internal.h"
#include "Md5.h"
#include "table_layout.h"

namespace quendal {

namespace {

constexpr uint32_t kMakerMaxInfoSectors = 16;
constexpr size_t kSealLength = 16;

enum CheckResult { kInvalid = 0, kFirstCopy = 1, kSecondCopy = 2 };

// Reads sector i of the information sectors that follow the table at page p.
// Without a page size the sectors cannot be addressed at all.
bool readInfoSector(uint32_t p, uint32_t i, uint8_t *out512) {
    const LibraryState &st = state();
    if (st.PageSectors == 0) return false;
    const uint32_t address = cfgtbl::addr::infoPage(false, i % st.PageSectors, p + 1 + i / st.PageSectors);
    return st.ops.ReadDisk(address, 1, out512) != 0;
}

// Reads the first `count` information sectors that follow the table at page p
// into out (zeroed first); stops at the first read that fails. How many were read.
uint32_t readInfoRun(uint32_t p, uint32_t count, uint8_t *out) {
    std::memset(out, 0, size_t(count) * kSectorSize);
    for (uint32_t i = 0; i < count; ++i)
        if (!readInfoSector(p, i, out + size_t(i) * kSectorSize)) return i;
    return count;
}

// Information sectors the scan reads after a VersionTable sector: whole pages
// only when the table asks for the interleaved write.
uint32_t versionSectorsToRead(const uint8_t *sector) {
    const uint32_t n = sector[cfgtbl::kInfoSectors];
    if (!(sector[cfgtbl::kFlags272] & cfgtbl::kFlagInterleaved)) return n;
    const uint16_t ps = state().PageSectors;
    return ps ? (n / ps) * ps : 0;
}

// Remembers what the scan read of a copy it records, so that a rewrite can tell
// whether another program changed it since.
void noteScannedCopy(size_t slot, const uint8_t *sector, const uint8_t *info, uint32_t infoSectors) {
    Md5 h;
    h.update(sector, kSectorSize);
    h.update(info, size_t(infoSectors) * kSectorSize);
    state().ScannedCopyDigest[slot] = h.finish();
    state().ScannedCopyKnown[slot] = true;
}

CheckResult recordCopy(uint32_t p, const uint8_t *sector, const uint8_t *info, uint32_t infoSectors) {
    LibraryState &st = state();
    if (st.BackupInfoBlock == -1) {
        st.BackupInfoBlock = int32_t(p);
        noteScannedCopy(1, sector, info, infoSectors);
        return kSecondCopy;
    }
    return kInvalid;
}

// MakerTable: the table sector and its information sectors form one run whose
// last 16 bytes are the MD5 of the run taken with those 16 bytes zeroed.
CheckResult checkMakerTable(uint32_t p, const uint8_t *sector) {
    LibraryState &st = state();
    const uint32_t n = sector[cfgtbl::kMakerInfoSectors];
    if (n > kMakerMaxInfoSectors) return kInvalid;

    std::array<uint8_t, (kMakerMaxInfoSectors + 1) * kSectorSize> run{};
    const size_t length = size_t(n + 1) * kSectorSize;
    std::memcpy(run.data(), sector, kSectorSize);
    if (readInfoRun(p, n, run.data() + kSectorSize) != n) return kInvalid;
    const std::array<uint8_t, (kMakerMaxInfoSectors + 1) *kSectorSize> asRead = run;

    uint8_t stored[kSealLength];
    std::memcpy(stored, run.data() + length - kSealLength, kSealLength);
    std::memset(run.data() + length - kSealLength, 0, kSealLength);
    const Digest computed = md5(run.data(), length);
    if (std::memcmp(computed.data(), stored, kSealLength) != 0) return kInvalid;

    if (st.PrimaryInfoBlock == -1) {
        std::memcpy(st.TableCopy.data(), run.data(), kSectorSize);
        std::memcpy(st.InfoBuffer.data(), run.data() + kSectorSize, size_t(n) * kSectorSize);
        st.PrimaryInfoBlock = int32_t(p);
        st.HaveTable = true;
        noteScannedCopy(0, sector, asRead.data() + kSectorSize, n);
        return kFirstCopy;
    }
    return recordCopy(p, sector, asRead.data() + kSectorSize, n);
}

bool sectorXorIsZero(const uint8_t *sector) {
    uint32_t x = 0;
    for (size_t off = 0; off < kSectorSize; off += 4) x ^= bo::getLE32(sector + off);
    return x == 0;
}

// VersionTable: the sector's words XOR to 0 and the information halves carry
// their marks. The XOR word of each half is not looked at.
CheckResult checkVersionTable(uint32_t p, const uint8_t *sector, std::vector<uint8_t> &work) {
    LibraryState &st = state();
    if (!sectorXorIsZero(sector)) return kInvalid;
    const uint32_t n = sector[cfgtbl::kInfoSectors];
    if (n > kInfoBufferSectors) return kInvalid;

    std::fill(work.begin(), work.end(), 0);
    readInfoRun(p, versionSectorsToRead(sector), work.data());

    bool marked = n * kSectorSize >= cfgtbl::kInfoMark + 4 &&
                  bo::getLE32(work.data() + cfgtbl::kInfoMark) == cfgtbl::kInfoMarkValue;
    if (marked && n == 16)
        marked = bo::getLE32(work.data() + cfgtbl::kInfoHalf + cfgtbl::kInfoMark) == cfgtbl::kInfoMarkValue;
    if (!marked) {
        // Our own copy, sealed and naming its page, whose information sectors never
        // all arrived: a rewrite that was cut off. Remember where it lives so the
        // next rewrite can restore the second copy; it is never loaded.
        if (st.MissingInfoBlock == -1 && bo::getLE16(sector + cfgtbl::kBlockPage) == p && n >= 8)
            st.MissingInfoBlock = int32_t(p);
        return kInvalid;
    }

    if (st.PrimaryInfoBlock == -1) {
        st.PrimaryInfoBlock = int32_t(p);
        std::memcpy(st.TableCopy.data(), sector, kSectorSize);
        std::memcpy(st.InfoBuffer.data(), work.data(), size_t(n) * kSectorSize);
        st.HaveTable = true;
        st.VersionTableSeen = true;
        noteScannedCopy(0, sector, work.data(), n);
        return kFirstCopy;
    }
    return recordCopy(p, sector, work.data(), n);
}

} // namespace

bool readCopyAt(uint32_t page, CopyOnDevice *out) {
    LibraryState &st = state();
    out->table.fill(0);
    if (!st.ops.ReadDisk(cfgtbl::addr::kReadPageBase + page, 1, out->table.data())) return false;
    const uint8_t *sector = out->table.data();
    if (bo::getLE32(sector) != 0x5A5A5A5Au) return false;
    uint32_t toRead;
    if (std::memcmp(sector + cfgtbl::kMakerName, cfgtbl::kMakerNameText, 9) == 0) {
        out->infoSectors = sector[cfgtbl::kMakerInfoSectors];
        if (out->infoSectors > kMakerMaxInfoSectors) return false;
        toRead = out->infoSectors;
    } else if (std::memcmp(sector + cfgtbl::kVersionText, cfgtbl::kVersionTextValue, 4) == 0) {
        out->infoSectors = sector[cfgtbl::kInfoSectors];
        if (out->infoSectors > kInfoBufferSectors) return false;
        toRead = versionSectorsToRead(sector);
    } else {
        return false;
    }
    out->info.assign(size_t(out->infoSectors) * kSectorSize, 0);
    readInfoRun(page, toRead, out->info.data());
    Md5 h;
    h.update(out->table.data(), kSectorSize);
    h.update(out->info.data(), out->info.size());
    out->digest = h.finish();
    return true;
}

} // namespace quendal

using namespace quendal;

extern "C" {

QUENDAL_API int32_t GetConfigTable(uint8_t *table512) {
    LibraryState &st = state();
    if (!st.TransportReady) return 0;
    if (!table512) {
        setError(QUENDAL_ERR_NULL_BUFFER);
        return 0;
    }
    if (st.FileLoginMode) {
        setError(QUENDAL_ERR_FILE_LOGIN_MODE);
        return 0;
    }
    std::array<uint8_t, kSectorSize> info{};
    if (!readDeviceInfo(info.data())) return 0;
    st.PageSectors = cfgtbl::pageSectorsFromInfo(info.data());
    st.BlockUnit = bo::getLE16(info.data() + cfgtbl::kDevBlockUnit);
    st.MissingInfoBlock = -1;

    std::vector<uint8_t> work(size_t(kInfoBufferSectors) * kSectorSize);
    std::array<uint8_t, kSectorSize> sector;
    bool found = false;
    for (uint32_t c = 0; c < cfgtbl::kCandidateCount; ++c) {
        const uint32_t p = c * cfgtbl::kCandidateStep;
        sector.fill(0);
        // A failed read leaves the zeroed buffer, which no check accepts.
        st.ops.ReadDisk(cfgtbl::addr::kReadPageBase + p, 1, sector.data());
        if (bo::getLE32(sector.data()) != 0x5A5A5A5Au) continue;

        CheckResult r;
        int32_t kind;
        if (std::memcmp(sector.data() + cfgtbl::kMakerName, cfgtbl::kMakerNameText, 9) == 0) {
            r = checkMakerTable(p, sector.data());
            kind = kMakerTable;
        } else if (std::memcmp(sector.data() + cfgtbl::kVersionText, cfgtbl::kVersionTextValue, 4) == 0) {
            r = checkVersionTable(p, sector.data(), work);
            kind = kVersionTable;
        } else {
            continue;
        }
        if (r == kFirstCopy) {
            std::memcpy(table512, st.TableCopy.data(), kSectorSize);
            st.ControllerKind = kind;
            found = true;
        } else if (r == kSecondCopy) {
            return 2;
        }
    }
    if (!found) {
        setError(QUENDAL_ERR_NO_TABLE);
        return 0;
    }
    return 1;
}

QUENDAL_API uint8_t SendCfgTable(const uint8_t *table512) {
    LibraryState &st = state();
    if (!st.TransportReady || !table512) return 0;
    return st.ops.WriteDisk(cfgtbl::addr::kStoreTable, 1, table512) ? 1 : 0;
}

QUENDAL_API int32_t UpdateParam(void) {
    LibraryState &st = state();
    if (!st.TransportReady || !st.HaveTable) return 0;
    const uint8_t *t = st.TableCopy.data();
    if (st.ControllerKind == kMakerTable) {
        std::memcpy(st.StoredDigest.data(), t + cfgtbl::kMakerDigest, 16);
        st.InfoSectors = t[cfgtbl::kMakerInfoSectors];
        return 1;
    }
    if (st.ControllerKind == kVersionTable) {
        std::memcpy(st.StoredDigest.data(), t + cfgtbl::kDigest, 16);
        st.InfoSectors = t[cfgtbl::kInfoSectors];
        std::memcpy(st.TableLabel.data(), t + cfgtbl::kLabel, cfgtbl::kLabelLength);
        st.InterleavedInfo = (t[cfgtbl::kFlags272] & cfgtbl::kFlagInterleaved) != 0;
        if (st.InterleavedInfo) st.Interleave = (t[cfgtbl::kFlags232] & cfgtbl::kFlagInterleave2) ? 2 : 4;
        st.VersionTableSeen = true;
        return 1;
    }
    return 0;
}

QUENDAL_API int32_t CreateNewCfgtblV2(uint8_t *table512, const FormatSettings *settings) {
    LibraryState &st = state();
    if (!st.TransportReady || !table512 || !settings) return 0;
    const uint8_t mode = settings->mode;
    const uint32_t areas = settings->areaCount;
    const uint32_t capacity = uint32_t(st.DiskCapacity);
    // The sizes the format procedure wrote the areas with (a 0 takes the size at
    // 0x08), so that the table describes the volumes actually on the disk.
    const uint32_t s0 = areaSize(*settings, 0);
    const uint32_t s1 = areaSize(*settings, 1);
    // Areas that end past the disk would leave the last size wrapped round to
    // some four thousand million sectors; such a table is not filled.
    if (areas == 2 && s0 > capacity) return 0;
    if (areas == 3 && uint64_t(s0) + s1 > capacity) return 0;

    uint8_t *digest = table512 + cfgtbl::kDigest;
    std::memset(digest, 0, 16);
    if (mode == QUENDAL_MODE_SECURE) {
        // The password field is 61 bytes and need not hold a NUL.
        const size_t length = strnlen(settings->password, sizeof settings->password);
        const Digest d = md5(settings->password, length);
        std::memcpy(digest, d.data(), 16);
    }
    table512[cfgtbl::kRemovable] = mode == QUENDAL_MODE_HDD_BOOT ? 0x00 : 0x80;
    if (mode == QUENDAL_MODE_CDROM)
        table512[cfgtbl::kFlags232] |= cfgtbl::kFlagCdrom;
    else
        table512[cfgtbl::kFlags232] &= uint8_t(~cfgtbl::kFlagCdrom);

    const bool variant = table512[cfgtbl::kVariantFlag] != 0;
    uint8_t kind;
    if (mode == QUENDAL_MODE_SECURE)
        kind = areas == 2 ? 5 : (variant ? 1 : 2);
    else
        kind = variant ? 3 : (areas == 1 ? 0 : 4);
    table512[cfgtbl::kLayoutKind] = kind;

    auto put = [&](uint32_t a0, uint32_t a1, uint32_t a2, uint32_t start1, uint32_t start2) {
        bo::putLE32(table512 + cfgtbl::kArea0Size, a0);
        bo::putLE32(table512 + cfgtbl::kArea1Size, a1);
        bo::putLE32(table512 + cfgtbl::kArea2Size, a2);
        bo::putLE32(table512 + cfgtbl::kArea1Start, start1);
        bo::putLE32(table512 + cfgtbl::kArea2Start, start2);
    };
    if (areas == 1)
        put(capacity, 0, 0, 0, 0);
    else if (areas == 2 && mode == QUENDAL_MODE_SECURE)
        put(s0, capacity - s0, 0, s0, 0);
    else if (areas == 2)
        put(s0, 0, capacity - s0, 0, s0);
    else if (areas == 3)
        put(s0, s1, capacity - s0 - s1, s0, s0 + s1);
    return 1;
}

QUENDAL_API uint8_t HaveCfgTbl(void) { return state().HaveTable ? 1 : 0; }

QUENDAL_API int32_t GetDiskCapacity(void) {
    LibraryState &st = state();
    if (!st.TransportReady) return 0;
    std::array<uint8_t, 2048> buffer{};
    // The known primary copy's table sector holds the area sizes; a new scan is
    // only needed while no copy is known.
    if (st.PrimaryInfoBlock != -1)
        st.ops.ReadDisk(cfgtbl::addr::kReadPageBase + uint32_t(st.PrimaryInfoBlock), 1, buffer.data());
    else
        GetConfigTable(buffer.data());
    const uint32_t sum = bo::getLE32(buffer.data() + cfgtbl::kArea0Size) +
                         bo::getLE32(buffer.data() + cfgtbl::kArea1Size) +
                         bo::getLE32(buffer.data() + cfgtbl::kArea2Size);
    st.DiskCapacity = int32_t(sum);
    return st.DiskCapacity;
}

QUENDAL_API int32_t GetDiskSize(void) { return state().DiskCapacity; }

} // extern "C"
