// How a format request is formed from the disk's size and the share of the
// first area: the split of the format settings dialog itself (DiskSplit.h),
// so that the command line and the window divide a disk alike.
#pragma once

#include <cstdint>
#include <string>

#include "DiskSplit.h"
#include "Quendal.h"

namespace cli {

struct FormatPlan {
    FormatPlan() = default;
    // The settings carry the password: every copy is overwritten when it goes.
    ~FormatPlan();
    FormatPlan(FormatPlan &&) = default;
    FormatPlan &operator=(FormatPlan &&) = default;

    bool ok = false;
    std::string error; // why the request cannot be formed
    formatsplit::Split split;
    uint32_t area[3] = {0, 0, 0}; // the sizes also written into settings
    uint32_t areaCount = 0;
    FormatSettings settings{};
};

// Fills area sizes, mode, area count and (secure mode only) the password's
// bytes. The label field is left zero for the library to fill.
FormatPlan planFormat(uint32_t diskSectors, int percent, uint8_t mode, const std::string &password);

} // namespace cli
