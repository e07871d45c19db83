// How the format settings divide a disk between a first and a second area, and
// which area sizes a kind of disk gets from that split. The one rule of the
// manager's format dialog and of `quendal format`: kept free of Qt so that
// both call it, and a disk is divided alike whichever program formats it.
#pragma once

#include <cstdint>
#include <optional>

namespace formatsplit {

// 512-byte sectors in one MByte; also the smallest part the split keeps.
constexpr uint32_t kSectorsPerMByte = 2048;
// The small first area of a secure disk that receives the login files.
constexpr uint32_t kLoginAreaSectors = 2500;
// Up to this first part a secure disk takes its login area from the second part.
constexpr uint32_t kSecureFirstLimit = 4096;
// The smallest area FormatDisk accepts.
constexpr uint32_t kMinAreaSectors = 1000;

struct Split {
    uint32_t first = 0;
    uint32_t second = 0;
    bool operator==(const Split &) const = default;
};

// first = value x size / 100 (64-bit product, truncated; value clamped to
// 0..100), second the rest.
Split raw(uint32_t diskSize, int value);
// What the labels show: a first part under 1 MByte goes to the second, then a
// second part under 1 MByte goes to the first.
Split forLabels(uint32_t diskSize, int value);
// What Start formats: either part under 1 MByte makes one area of the disk.
Split forStart(uint32_t diskSize, int value);

struct Areas {
    uint32_t size[3] = {0, 0, 0};
    uint32_t count = 0;
};
// The three area sizes and the area count for a split. Empty for a secure disk
// whose split leaves an area negative or under kMinAreaSectors (disks of fewer
// than about 6600 sectors), which FormatDisk could not build: refused before
// anything is written, rather than failed halfway through the format.
std::optional<Areas> areasFor(bool secure, Split split);

} // namespace formatsplit
