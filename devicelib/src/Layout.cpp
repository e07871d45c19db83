// Placement of the areas on the disk while a format writes them: their sizes,
// starts, BootLayout and partition table sector, and the whole-disk table under
// which the area images are written.
#include <cstring>

#include "BootCode.h"
#include "Internal.h"
#include "table_layout.h"

namespace quendal {

namespace {

constexpr uint32_t kMinAreaSectors = 1000;

constexpr size_t kPartitionEntry = 0x1BE;
constexpr uint8_t kTypeFat16 = 0x06;
constexpr uint8_t kTypeFat32 = 0x0B;

} // namespace

uint32_t areaSize(const FormatSettings &settings, uint32_t index) {
    if (index > 2) return 0;
    // The host may leave a size at 0 and mean "as large as the last area".
    uint32_t own = settings.areaSize[index];
    return own ? own : settings.areaSize[2];
}

uint32_t areaStart(const FormatSettings &settings, uint32_t index) {
    uint32_t start = 0;
    for (uint32_t i = 0; i < index && i < 3; ++i) start += areaSize(settings, i);
    return start;
}

bool areaSizesUsable(const FormatSettings &settings) {
    if (settings.areaCount < 1 || settings.areaCount > 3) return false;
    for (uint32_t i = 0; i < settings.areaCount; ++i)
        if (areaSize(settings, i) < kMinAreaSectors) return false;
    return true;
}

int bootLayoutForMode(uint8_t mode) {
    switch (mode) {
    case QUENDAL_MODE_NORMAL:
    case QUENDAL_MODE_SECURE: return 0;
    case QUENDAL_MODE_HDD_BOOT: return 2;
    case QUENDAL_MODE_ZIP_BOOT: return 1;
    case QUENDAL_MODE_ZIP_BOOT_63: return 3;
    default: return -1; // CD-ROM: no FAT volume is built
    }
}

uint32_t volumeStartForLayout(int bootLayout) {
    switch (bootLayout) {
    case 1:
    case 3: return 32;
    case 2: return 63;
    default: return 0;
    }
}

bool buildPartitionTableSector(uint8_t *out512, int bootLayout, uint32_t areaSectors, bool fat32) {
    const uint32_t first = volumeStartForLayout(bootLayout);
    if (!out512 || first == 0 || areaSectors <= first) return false;

    uint8_t *s = out512;
    std::memset(s, 0, kSectorSize);
    size_t codeLength = bootcode::kPartitionLoaderSize;
    if (codeLength > kPartitionEntry) codeLength = kPartitionEntry;
    std::memcpy(s + bootcode::kPartitionLoaderOffset, bootcode::kPartitionLoader, codeLength);

    uint8_t *e = s + kPartitionEntry;
    e[0] = 0x80; // active
    e[1] = 0x01; // start CHS: head 1, sector 1, cylinder 0
    e[2] = 0x01;
    e[3] = 0x00;
    e[4] = fat32 ? kTypeFat32 : kTypeFat16;
    e[5] = 0xFE; // end CHS: past any geometry, LBA is what counts
    e[6] = 0xFF;
    e[7] = 0xFF;
    bo::putLE32(e + 8, first);
    bo::putLE32(e + 12, areaSectors - first);
    s[0x1FE] = 0x55;
    s[0x1FF] = 0xAA;
    return true;
}

int SetWholeDiskLayout(uint8_t *table512) {
    LibraryState &st = state();
    if (!st.TransportReady || !table512) return 0;
    // One area over the whole disk, so that every area image can be written at a
    // plain sector address before the final layout is known to the controller.
    table512[cfgtbl::kLayoutKind] = 0;
    bo::putLE32(table512 + cfgtbl::kArea0Size, uint32_t(st.DiskCapacity));
    bo::putLE32(table512 + cfgtbl::kArea1Size, 0);
    bo::putLE32(table512 + cfgtbl::kArea2Size, 0);
    bo::putLE32(table512 + cfgtbl::kArea1Start, 0);
    bo::putLE32(table512 + cfgtbl::kArea2Start, 0);
    if (!st.ops.WriteDisk(cfgtbl::addr::kWholeDiskTable, 1, table512)) {
        setError(QUENDAL_ERR_WHOLE_DISK_TABLE);
        return 0;
    }
    return 1;
}

} // namespace quendal
