#include "FormatPlan.h"

#include <cstddef>
#include <cstring>

#include "Terminal.h"
#include "byteorder.h"

namespace cli {

FormatPlan::~FormatPlan() { wipe(settings.password, sizeof settings.password); }

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
    plan.split = formatsplit::forStart(diskSectors, percent);
    const auto areas = formatsplit::areasFor(secure, plan.split);
    if (!areas) {
        plan.error = "the disk is too small for a secure disk split this way (" + std::to_string(diskSectors) +
                     " sectors); give the first area the whole disk (--first 100), or format a normal disk";
        return plan;
    }
    // The record is little-endian on the wire whatever the host's byte order.
    auto *raw = reinterpret_cast<uint8_t *>(&plan.settings);
    for (int i = 0; i < 3; ++i) {
        plan.area[i] = areas->size[i];
        bo::putLE32(raw + offsetof(FormatSettings, areaSize) + 4 * i, areas->size[i]);
    }
    raw[offsetof(FormatSettings, mode)] = mode;
    if (secure) std::memcpy(raw + offsetof(FormatSettings, password), password.c_str(), password.size() + 1);
    plan.areaCount = areas->count;
    bo::putLE32(raw + offsetof(FormatSettings, areaCount), plan.areaCount);
    plan.ok = true;
    return plan;
}

} // namespace cli
