// The saved-table file. Sector 0 is the header below, sector 1 the identity
// block, then each present copy: its table sector and its information sectors.
// A CRC-32 over the whole file (with its own field zero) catches a damaged or
// truncated file before anything of it reaches a disk.
#include "SavedTable.h"

#include <algorithm>
#include <cstring>

#include "byteorder.h"
#include "table_layout.h"

namespace tables {

namespace {

constexpr char kMagic[16] = {'Q', 'u', 'e', 'n', 'd', 'a', 'l', ' ', 't', 'a', 'b', 'l', 'e', '\r', '\n', 0x1A};
constexpr uint32_t kVersion = 1;

// Header offsets (all numbers little-endian).
constexpr size_t kOffMagic = 0;        // 16 bytes
constexpr size_t kOffVersion = 16;     // 32-bit
constexpr size_t kOffLength = 20;      // 32-bit, the whole file
constexpr size_t kOffSavedAtLow = 24;  // 32-bit
constexpr size_t kOffSavedAtHigh = 28; // 32-bit
constexpr size_t kOffCapacity = 32;    // 32-bit
constexpr size_t kOffKind = 36;        // byte
constexpr size_t kOffPageSectors = 38; // 16-bit
constexpr size_t kOffBlockUnit = 40;   // 16-bit
constexpr size_t kOffInfoSectors = 42; // 16-bit
constexpr size_t kOffCopies = 44;      // two records of kCopyRecord bytes
constexpr size_t kCopyRecord = 8;      // 32-bit page, byte present, 3 zero
constexpr size_t kOffReason = 64;      // kReasonLength bytes, NUL padded
constexpr size_t kReasonLength = 32;
constexpr size_t kOffCrc = 508; // 32-bit CRC-32 of the file, this field zero
static_assert(kOffCopies + 2 * kCopyRecord <= kOffReason);
static_assert(kOffReason + kReasonLength <= kOffCrc);
static_assert(kOffCrc + 4 == kSector);

// Bytes of the device information block that change while a disk is in use.
constexpr size_t kVolatileIdentityBytes[] = {cfgtbl::kDevLoginStatus, cfgtbl::kDevWriteProtect};

// CRC-32 as zlib and PNG use it (reflected, polynomial 0xEDB88320).
uint32_t crc32(const uint8_t *data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

size_t copyBytes(uint16_t infoSectors) { return kSector * (1 + size_t(infoSectors)); }

} // namespace

const SavedCopy *SavedTable::content() const {
    for (const SavedCopy &c : copies)
        if (c.present) return &c;
    return nullptr;
}

std::array<uint8_t, kSector> identityOf(const uint8_t *deviceInfo512) {
    std::array<uint8_t, kSector> id{};
    std::memcpy(id.data(), deviceInfo512, kSector);
    for (size_t off : kVolatileIdentityBytes) id[off] = 0;
    return id;
}

std::string diskKey(const std::array<uint8_t, kSector> &identity, uint32_t capacity) {
    // FNV-1a: a name for grouping files, not a check (restore compares the bytes).
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](uint8_t b) { h = (h ^ b) * 1099511628211ull; };
    for (uint8_t b : identity) mix(b);
    for (int i = 0; i < 4; ++i) mix(uint8_t(capacity >> (8 * i)));
    static const char kHex[] = "0123456789abcdef";
    std::string key(16, '0');
    for (int i = 15; i >= 0; --i, h >>= 4) key[size_t(i)] = kHex[h & 15];
    return key;
}

uint32_t tableCapacity(const uint8_t *table512) {
    return bo::getLE32(table512 + cfgtbl::kArea0Size) + bo::getLE32(table512 + cfgtbl::kArea1Size) +
           bo::getLE32(table512 + cfgtbl::kArea2Size);
}

std::string encode(const SavedTable &t) {
    size_t length = 2 * kSector;
    for (const SavedCopy &c : t.copies)
        if (c.present) length += copyBytes(t.infoSectors);
    std::string out(length, '\0');
    auto *p = reinterpret_cast<uint8_t *>(out.data());
    std::memcpy(p + kOffMagic, kMagic, sizeof kMagic);
    bo::putLE32(p + kOffVersion, kVersion);
    bo::putLE32(p + kOffLength, uint32_t(length));
    bo::putLE32(p + kOffSavedAtLow, uint32_t(uint64_t(t.savedAt)));
    bo::putLE32(p + kOffSavedAtHigh, uint32_t(uint64_t(t.savedAt) >> 32));
    bo::putLE32(p + kOffCapacity, t.capacity);
    p[kOffKind] = t.controllerKind;
    bo::putLE16(p + kOffPageSectors, t.pageSectors);
    bo::putLE16(p + kOffBlockUnit, t.blockUnit);
    bo::putLE16(p + kOffInfoSectors, t.infoSectors);
    for (size_t i = 0; i < 2; ++i) {
        bo::putLE32(p + kOffCopies + i * kCopyRecord, t.copies[i].page);
        p[kOffCopies + i * kCopyRecord + 4] = t.copies[i].present ? 1 : 0;
    }
    std::memcpy(p + kOffReason, t.reason.data(), std::min(t.reason.size(), kReasonLength - 1));
    std::memcpy(p + kSector, t.identity.data(), kSector);
    size_t at = 2 * kSector;
    for (const SavedCopy &c : t.copies) {
        if (!c.present) continue;
        std::memcpy(p + at, c.table.data(), kSector);
        const size_t infoBytes = size_t(t.infoSectors) * kSector;
        std::memcpy(p + at + kSector, c.info.data(), std::min(infoBytes, c.info.size()));
        at += copyBytes(t.infoSectors);
    }
    bo::putLE32(p + kOffCrc, crc32(p, length));
    return out;
}

bool decode(const std::string &bytes, SavedTable *table, std::string *error) {
    auto fail = [error](const char *why) {
        *error = why;
        return false;
    };
    if (bytes.size() < 2 * kSector) return fail("too short to be a saved table");
    std::string copy = bytes;
    auto *p = reinterpret_cast<uint8_t *>(copy.data());
    if (std::memcmp(p + kOffMagic, kMagic, sizeof kMagic) != 0) return fail("not a saved table of this system");
    if (bo::getLE32(p + kOffVersion) != kVersion) return fail("a saved table of another version of this system");
    if (bo::getLE32(p + kOffLength) != bytes.size()) return fail("the file is cut short or has bytes added");
    const uint32_t stored = bo::getLE32(p + kOffCrc);
    bo::putLE32(p + kOffCrc, 0);
    if (crc32(p, copy.size()) != stored) return fail("the file is damaged (its check sum does not match)");

    SavedTable t;
    t.savedAt = int64_t(uint64_t(bo::getLE32(p + kOffSavedAtLow)) | uint64_t(bo::getLE32(p + kOffSavedAtHigh)) << 32);
    t.capacity = bo::getLE32(p + kOffCapacity);
    t.controllerKind = p[kOffKind];
    t.pageSectors = bo::getLE16(p + kOffPageSectors);
    t.blockUnit = bo::getLE16(p + kOffBlockUnit);
    t.infoSectors = bo::getLE16(p + kOffInfoSectors);
    if (t.infoSectors > kMaxInfoSectors) return fail("the file names more information sectors than a disk holds");
    const char *reason = reinterpret_cast<const char *>(p + kOffReason);
    t.reason.assign(reason, strnlen(reason, kReasonLength));
    std::memcpy(t.identity.data(), p + kSector, kSector);
    size_t at = 2 * kSector;
    for (size_t i = 0; i < 2; ++i) {
        SavedCopy &c = t.copies[i];
        c.page = bo::getLE32(p + kOffCopies + i * kCopyRecord);
        c.present = p[kOffCopies + i * kCopyRecord + 4] != 0;
        if (!c.present) continue;
        if (c.page == kNoPage) return fail("the file holds a copy without its page");
        if (copy.size() < at + copyBytes(t.infoSectors)) return fail("the file is cut short");
        std::memcpy(c.table.data(), p + at, kSector);
        c.info.assign(p + at + kSector, p + at + copyBytes(t.infoSectors));
        at += copyBytes(t.infoSectors);
    }
    if (at != copy.size()) return fail("the file's length does not match its copies");
    if (!t.content()) return fail("the file holds no copy of a table");
    *table = std::move(t);
    return true;
}

} // namespace tables
