// The drive table: drive letters mapped to volumes, in place of the logical
// drives of the original platform. The table comes from a drive map file when
// one is named (FLASHDISK_DRIVES, or <FLASHDISK_EMULATOR>/drives), otherwise from
// the system: on Linux the mounted file systems, on Windows its own logical
// drives (docs/drive-map.md describes both).
//
// The table is read afresh by every call: the emulated disk rewrites its drive
// map whenever what the host sees of it changes, as a real disk's volumes come
// and go. Nothing here prints or throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct DriveEntry {
    char letter = 0;     // 'C'..'Z'
    std::string source;  // image file or block device holding the volume
    uint64_t offset = 0; // byte offset of the volume's boot sector in source
    uint64_t length = 0; // byte length of the volume; 0 = up to the end of source
    bool readOnly = false;
    bool cdrom = false;
    std::string mount; // directory where the volume is mounted, or empty
};

// The drive map named by the environment, or empty when the mounted file
// systems make the table.
std::string driveMapPath();

// Parses drive map text. Malformed lines are skipped; of two lines for one
// letter the first wins. The result is in letter order. A relative source is
// taken as relative to mapDirectory, the folder holding the map file (left as it
// is when mapDirectory is empty), so a disk directory can be moved or shared
// between systems. On Windows a source may be written with '/' or '\'; it is
// given back with '\'.
std::vector<DriveEntry> parseDriveMap(const std::string &text, const std::string &mapDirectory = {});

// Parses /proc/self/mountinfo text: C: is "/", then D:, E:, ... the other
// mounts of block devices in the order of their mount points, pseudo file
// systems left out, at most up to Z:.
std::vector<DriveEntry> parseMountInfo(const std::string &text);

// The current table (drive map if named, else the mounts; on Windows the
// logical drives, each with its volume device "\\.\X:" as source and "X:\"
// as mount). A named but missing drive map gives an empty table: the device's
// volumes are simply not there.
std::vector<DriveEntry> driveTable();

// Bit i set for every present drive, bit 0 being A:.
uint32_t logicalDriveMask();

// Total size of the volume's file system as the original platform reports it:
// data clusters x cluster size (statvfs of a mount on Linux, GetDiskFreeSpace
// on Windows, the boot sector of an unmounted volume on both). drive is "X:"
// (also accepted: "X:\" or "x").
// Empty when the drive is absent or its size cannot be determined.
std::optional<uint64_t> volumeTotalBytes(const char *drive);

// Reads one 512-byte sector of drive index (0 = A:) at sector within the
// volume. Reads never leave the volume's bounds. A device source ("\\.\E:")
// is read in whole sectors of the device's own size.
bool readVolumeSector(uint32_t driveIndex, uint32_t sector, uint8_t *out512);

enum FileAttributes : uint8_t { kAttrReadOnly = 0x01, kAttrHidden = 0x02, kAttrSystem = 0x04, kAttrArchive = 0x20 };

// Creates the file named by a drive path ("X:\name.ext"), replacing an existing
// one, with exactly these bytes. On a mounted drive the file goes into the mount
// directory (attributes apply on Windows only; there an existing file is
// replaced whatever its attributes). On a drive without a mount the file is
// written into the root directory of the FAT volume itself; only the root
// directory and 8.3 names are supported there.
bool createDriveFile(const std::string &drivePath, const uint8_t *data, size_t size, uint8_t attributes);

// The drive whose mount directory holds dir ("X:"), or empty when no drive does.
// On Windows without a drive map: the drive letter of dir's full path, when
// that drive exists.
std::string driveOfDirectory(const std::string &dir);

// Writes a file into the root directory of the FAT12/16/32 volume at byte
// offset volumeOffset of source (volumeLength bounds it; 0 = to the end of
// source). name83 is the 11-byte short name ("LOG     LOG"). A file of the same
// name is replaced and its clusters freed; both FATs and, on FAT32, FSInfo are
// kept consistent. modified is the file's time stamp (seconds since the epoch,
// local time of day as stored by FAT).
bool writeFatRootFile(const std::string &source, uint64_t volumeOffset, uint64_t volumeLength, const char name83[11],
                      const uint8_t *data, size_t size, uint8_t attributes, int64_t modified);

// "log.log" -> "LOG     LOG"; false for names that are not plain 8.3 names.
bool toShortName(const std::string &name, char out[11]);

} // namespace platform
