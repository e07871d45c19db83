// A disk's configuration table as it was read before it was replaced: both
// copies with the pages they live at, their information sectors, and what
// tells the disk apart (its identity block and capacity). The library writes
// one into the user's store before every rewrite; quendal shows one and writes
// it back. The file layout is ours and versioned; it never reaches the device.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tables {

constexpr size_t kSector = 512;
constexpr uint32_t kNoPage = 0xFFFFFFFFu;
constexpr uint32_t kMaxInfoSectors = 200; // what the library's information buffer holds

struct SavedCopy {
    uint32_t page = kNoPage; // where the copy lives; kNoPage when nobody knows
    bool present = false;    // its sectors were read and are in the file
    std::array<uint8_t, kSector> table{};
    std::vector<uint8_t> info; // infoSectors x 512 bytes when present
};

struct SavedTable {
    int64_t savedAt = 0;   // seconds since 1970-01-01 UTC
    std::string reason;    // why it was saved ("before a format", ...), at most 31 bytes
    uint32_t capacity = 0; // sectors: the sum of the table's three area sizes
    uint8_t controllerKind = 0;
    uint16_t pageSectors = 0;
    uint16_t blockUnit = 0;
    uint16_t infoSectors = 0;
    // The device information block with the bytes that change in use (login
    // state, write protection) zeroed: what this system can tell disks apart by.
    std::array<uint8_t, kSector> identity{};
    // copies[0] is the table in force (the scan's first copy); copies[1] the
    // second copy, or where it lived when it is gone.
    std::array<SavedCopy, 2> copies;

    // The copy whose table and information sectors a restore writes.
    const SavedCopy *content() const;
    // True when one of the copies lives at page.
    bool names(uint32_t page) const { return copies[0].page == page || copies[1].page == page; }
};

// The identity of a device information block (see SavedTable::identity).
std::array<uint8_t, kSector> identityOf(const uint8_t *deviceInfo512);

// Short name of a disk for file names: 16 hex digits over identity and capacity.
// Disks of one model and size that carry the same identity block share it.
std::string diskKey(const std::array<uint8_t, kSector> &identity, uint32_t capacity);
inline std::string diskKey(const SavedTable &t) { return diskKey(t.identity, t.capacity); }

// Capacity as hosts read it off a table sector: the three area sizes summed.
uint32_t tableCapacity(const uint8_t *table512);

std::string encode(const SavedTable &table);
// False with *error set for anything that is not a whole, undamaged saved table.
bool decode(const std::string &bytes, SavedTable *table, std::string *error);

} // namespace tables
