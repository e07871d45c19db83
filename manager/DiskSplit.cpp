#include "DiskSplit.h"

#include <algorithm>

namespace formatsplit {

Split raw(uint32_t diskSize, int value) {
    const uint64_t v = uint64_t(std::clamp(value, 0, 100));
    const auto first = uint32_t(v * diskSize / 100);
    return {first, diskSize - first};
}

Split forLabels(uint32_t diskSize, int value) {
    Split s = raw(diskSize, value);
    if (s.first < kSectorsPerMByte) s = {0, diskSize};
    if (s.second < kSectorsPerMByte) s = {diskSize, 0};
    return s;
}

Split forStart(uint32_t diskSize, int value) {
    Split s = raw(diskSize, value);
    if (s.first < kSectorsPerMByte || s.second < kSectorsPerMByte) s = {diskSize, 0};
    return s;
}

std::optional<Areas> areasFor(bool secure, Split split) {
    Areas a;
    a.count = 1 + (secure ? 1 : 0) + (split.second != 0 ? 1 : 0);
    if (!secure) {
        a.size[0] = split.first;
        a.size[2] = split.second;
        return a;
    }
    // Signed: a small split takes the login area out of a second part that
    // cannot give it.
    int64_t area1, area2;
    if (split.first > kSecureFirstLimit) {
        area1 = int64_t(split.first) - kLoginAreaSectors;
        area2 = split.second;
    } else {
        area1 = split.first;
        area2 = int64_t(split.second) - kLoginAreaSectors;
    }
    if (area1 < kMinAreaSectors) return std::nullopt;
    // Area 2 is formatted whenever it is counted; a size of 0 with no second part is fine.
    if (area2 < 0 || (split.second != 0 && area2 < kMinAreaSectors)) return std::nullopt;
    a.size[0] = kLoginAreaSectors;
    a.size[1] = uint32_t(area1);
    a.size[2] = uint32_t(area2);
    return a;
}

} // namespace formatsplit
