// How a format request is formed from the disk's size and the share of the
// first area, exactly as the format settings dialog forms it, so that the
// command line and the window divide a disk alike.
#pragma once

#include <cstdint>
#include <string>

#include "Quendal.h"

namespace cli {

// The secure disk's small first area that receives the login files.
constexpr uint32_t kLoginAreaSectors = 2500;
// Areas under one MByte are not offered: the split snaps to one area.
constexpr uint32_t kMinAreaSectors = 2048;

struct Split {
    uint32_t first = 0;
    uint32_t second = 0;
};

// The sizes the track bar's labels show for a value of 0..100.
Split labelSplit(uint32_t diskSectors, int percent);
// The sizes Start uses (the labels differ only near the bar's left end).
Split startSplit(uint32_t diskSectors, int percent);

struct FormatPlan {
    bool ok = false;
    std::string error; // why the request cannot be formed
    Split split;
    uint32_t area[3] = {0, 0, 0}; // the sizes also written into settings
    uint32_t areaCount = 0;
    FormatSettings settings{};
};

// Fills area sizes, mode, area count and (secure mode only) the password. The
// label field is left zero for the library to fill.
FormatPlan planFormat(uint32_t diskSectors, int percent, uint8_t mode, const std::string &password);

} // namespace cli
