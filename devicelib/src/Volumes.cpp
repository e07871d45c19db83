// Finding the device's volumes from the host's side. The transport never tells
// which drive letters the device's volumes got, so the library recognises them:
// the small login volume of a secure disk by its size, and the volume a format
// has just rebuilt by its boot sector, compared with the reference image that
// the format left in the temporary directory. Also the login file written onto
// the login volume where raw access to the device is refused.
#include "Volumes.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "Internal.h"
#include "LibraryState.h"
#include "byteorder.h"
#include "fat_layout.h"
#include "table_layout.h"
#include "platform/Drives.h"
#include "platform/Paths.h"

namespace quendal {

namespace {

constexpr uint32_t kDriveCount = 32;      // bits of the logical-drive mask
constexpr uint32_t kFirstLetterIndex = 2; // A: and B: are floppies, C: the system
constexpr uint32_t kResumePauseMs = 2000;
constexpr uint32_t kResumeNameBytes = 12; // jump and OEM name differ between builds
constexpr size_t kPartitionBootFlag = 446;
constexpr size_t kPartitionType = 450;
constexpr size_t kPartitionStart = 454;
constexpr char kLoginFileName[] = "\\log.log";

void realSleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

SleepFn gSleep = realSleep;

void putDrive(char *drive, uint32_t index) {
    drive[0] = char('A' + index);
    drive[1] = ':';
    drive[2] = '\0';
}

bool isLoginVolumeSize(uint64_t bytes) { return bytes == kLoginVolumeBytes || bytes == kBuiltLoginVolumeBytes; }

bool readAt(std::FILE *f, uint64_t offset, uint8_t *out512) {
    if (std::fseek(f, long(offset), SEEK_SET) != 0) return false;
    return std::fread(out512, 1, kSectorSize, f) == kSectorSize;
}

// The loader-byte test of ReadReferenceBootSector knows a partition table by the first
// instructions of one particular boot loader; a partition table whose code
// starts otherwise would be taken for the boot sector and the rebuilt volume
// never found. A first sector that is no FAT boot sector but has a first
// partition entry with a type and a start is a partition table too.
bool looksLikePartitionTable(const uint8_t *sector) {
    return !fat::readGeometry(sector) && sector[kPartitionType] != 0 && bo::getLE32(sector + kPartitionStart) != 0;
}

} // namespace

SleepFn setResumeSleep(SleepFn sleep) {
    SleepFn previous = gSleep;
    gSleep = sleep ? sleep : realSleep;
    return previous;
}

bool ListDriveIndexes(std::array<uint8_t, 32> &list) {
    list.fill(0);
    uint32_t mask = platform::logicalDriveMask();
    if (mask == 0) return false;
    size_t n = 0;
    // Index 0 (A:) cannot be listed: 0 ends the list. The last byte stays 0.
    for (uint32_t i = 1; i < kDriveCount && n + 1 < list.size(); ++i)
        if (mask & (1u << i)) list[n++] = uint8_t(i);
    return true;
}

bool ReadReferenceBootSector(uint8_t *sector512) {
    std::memset(sector512, 0x01, kSectorSize);
    // The temporary folder is taken whole: cutting a long one short would name
    // a file that is not the one the format wrote.
    std::string dir = platform::temporaryDirectory();
    if (dir.empty()) return false;
#if defined(_WIN32)
    if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
#else
    if (dir.back() != '/') dir += '/';
#endif
    std::FILE *f = std::fopen((dir + kReferenceImageFile).c_str(), "rb");
    if (!f) return false;
    uint8_t first[kSectorSize];
    bool ok = readAt(f, 0, first) && first[510] == 0x55 && first[511] == 0xAA;
    if (ok) {
        bool partitionTable = (first[kPartitionBootFlag] == 0x80 && first[0] == 0xFA) || first[1] == 0x33 ||
                              looksLikePartitionTable(first);
        if (partitionTable)
            ok = readAt(f, uint64_t(bo::getLE32(first + kPartitionStart)) * kSectorSize, sector512);
        else
            std::memcpy(sector512, first, kSectorSize);
    }
    std::fclose(f);
    return ok;
}

bool ReadVolumeSector(uint32_t index, uint32_t sector, uint8_t *buffer512) {
    // Every system this runs on reads volumes as the NT family does; the
    // 95/98/Me absolute read through "\\.\vwin32" has no system to answer it.
    // A failed read is reported as one, so that whatever the buffer held before
    // is never compared as if it were the drive's sector.
    return platform::readVolumeSector(index, sector, buffer512);
}

bool FindResumedVolume(char *drive) {
    if (!state().TransportReady) return false;
    std::array<uint8_t, 32> list{};
    if (!ListDriveIndexes(list)) return false;
    uint8_t reference[kSectorSize];
    if (!ReadReferenceBootSector(reference)) return false;
    std::memset(reference, 0, kResumeNameBytes);
    for (uint8_t index : list) {
        if (index == 0) break;
        uint8_t sector[kSectorSize];
        if (!ReadVolumeSector(index, 0, sector)) continue;
        std::memset(sector, 0, kResumeNameBytes);
        if (std::memcmp(sector, reference, kSectorSize) == 0) {
            putDrive(drive, index);
            return true;
        }
    }
    return false;
}

bool writeLoginFile(const char *drive, const uint8_t *record512) {
    if (!drive || !record512 || drive[0] == '\0') return false;
    std::string path = std::string(drive, strnlen(drive, 2)) + kLoginFileName;
    // The device takes the login from the file's own writes; nothing else is sent.
    return platform::createDriveFile(path, record512, kSectorSize, platform::kAttrHidden | platform::kAttrArchive);
}

} // namespace quendal

using namespace quendal;

extern "C" {

QUENDAL_API int32_t GetSecureDiskVolume(char *drive) {
    if (!state().TransportReady || !drive) return 0;
    drive[0] = '\0';
    uint32_t mask = platform::logicalDriveMask();
    // Lowest letter first; only letters exist, bits above Z: do not.
    for (uint32_t i = kFirstLetterIndex + 1; i < 26; ++i) {
        if (!(mask & (1u << i))) continue;
        char name[3];
        putDrive(name, i);
        std::optional<uint64_t> bytes = platform::volumeTotalBytes(name);
        if (bytes && isLoginVolumeSize(*bytes)) {
            std::memcpy(drive, name, sizeof name);
            return 1;
        }
    }
    return 0;
}

QUENDAL_API int32_t WaitDiskResume(char *drive, uint32_t timeoutMs) {
    if (!state().TransportReady || !drive) return 0;
    drive[0] = '\0';
    const uint32_t attempts = timeoutMs / 1000;
    // Every failed pass, the last one too, is followed by the pause: the wait
    // lasts about twice the time-out, as hosts of the original system expect.
    for (uint32_t pass = 0; pass < attempts; ++pass) {
        if (FindResumedVolume(drive)) return 1;
        gSleep(kResumePauseMs);
    }
    setError(QUENDAL_ERR_RESUME_TIMEOUT);
    return 0;
}

QUENDAL_API uint8_t IsLocalDisk(void) {
    const LibraryState &st = state();
    // Until a table has been read, byte 233 of the (zero) copy means nothing.
    if (!st.TransportReady || !st.VersionTableSeen) return 0;
    return st.TableCopy[cfgtbl::kRemovable] == 0 ? 1 : 0;
}

QUENDAL_API int32_t GetVolume(uint32_t value) {
    GetDiskVolumeFn op = state().ops.GetDiskVolume;
    return op ? op(value) : 0;
}

} // extern "C"
