#include "FormatPlan.h"

#include <cstddef>
#include <cstring>

#include "byteorder.h"

namespace cli {

namespace {
Split rawSplit(uint32_t diskSectors, int percent) {
    Split s;
    // The product needs 64 bits: a percentage times a 32-bit sector count.
    s.first = uint32_t(uint64_t(uint32_t(percent)) * diskSectors / 100);
    s.second = diskSectors - s.first;
    return s;
}
} // namespace

Split labelSplit(uint32_t diskSectors, int percent) {
    Split s = rawSplit(diskSectors, percent);
    if (s.first < kMinAreaSectors) {
        s.first = 0;
        s.second = diskSectors;
    }
    if (s.second < kMinAreaSectors) {
        s.first = diskSectors;
        s.second = 0;
    }
    return s;
}

Split startSplit(uint32_t diskSectors, int percent) {
    Split s = rawSplit(diskSectors, percent);
    if (s.first < kMinAreaSectors || s.second < kMinAreaSectors) {
        s.first = diskSectors;
        s.second = 0;
    }
    return s;
}

FormatPlan planFormat(uint32_t diskSectors, int percent, uint8_t mode, const std::string &password) {
    FormatPlan plan;
    if (percent < 0 || percent > 100) {
        plan.error = "the first area's share must be 0 to 100 percent";
        return plan;
    }
    if (mode > QUENDAL_MODE_CDROM) {
        plan.error = "unknown format mode";
        return plan;
    }
    if (diskSectors == 0) {
        plan.error = "the disk reports no capacity";
        return plan;
    }
    const bool secure = mode == QUENDAL_MODE_SECURE;
    if (secure && password.size() + 1 > sizeof(plan.settings.password)) {
        plan.error = "the password is too long";
        return plan;
    }
    plan.split = startSplit(diskSectors, percent);
    const uint32_t first = plan.split.first, second = plan.split.second;
    uint32_t *area = plan.area;
    if (secure) {
        area[0] = kLoginAreaSectors;
        if (first > 4096) {
            area[1] = first - kLoginAreaSectors;
            area[2] = second;
        } else {
            // The login area comes out of the second part here. On a disk this
            // small that part can be shorter than the login area; the sizes would
            // wrap around, so such a request is refused rather than sent.
            if (second < kLoginAreaSectors) {
                plan.error = "the disk is too small for a secure disk split this way (" + std::to_string(diskSectors) +
                             " sectors)";
                return plan;
            }
            area[1] = first;
            area[2] = second - kLoginAreaSectors;
        }
    } else {
        area[0] = first;
        area[2] = second;
    }
    // The record is little-endian on the wire whatever the host's byte order.
    auto *raw = reinterpret_cast<uint8_t *>(&plan.settings);
    for (int i = 0; i < 3; ++i) bo::putLE32(raw + offsetof(FormatSettings, areaSize) + 4 * i, area[i]);
    raw[offsetof(FormatSettings, mode)] = mode;
    if (secure) std::memcpy(raw + offsetof(FormatSettings, password), password.c_str(), password.size() + 1);
    plan.areaCount = 1 + (secure ? 1 : 0) + (second != 0 ? 1 : 0);
    bo::putLE32(raw + offsetof(FormatSettings, areaCount), plan.areaCount);
    plan.ok = true;
    return plan;
}

} // namespace cli
