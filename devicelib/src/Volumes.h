// Volume discovery from the host's side: the steps of the reset wait and the
// login-volume search that the exports are made of, reachable by the library's
// own tests.
#pragma once

#include <array>
#include <cstdint>

namespace quendal {

// Total sizes of the login volume of a secure disk. The first is the size the
// device's maker looks for (2447 clusters of 512 bytes); the second is the
// volume this library builds in a 2500-sector first area (FAT12, 2451 clusters
// of 512 bytes). Both are accepted, or a disk formatted here is never found.
constexpr uint64_t kLoginVolumeBytes = 1'252'864;
constexpr uint64_t kBuiltLoginVolumeBytes = 1'254'912;

// Name of the reference image in the temporary directory.
constexpr char kReferenceImageFile[] = "img0.img";

// The 32-byte list of present drive indexes (0 = A:, left out), rising and
// ending with a zero byte. False when no drive is present.
bool ListDriveIndexes(std::array<uint8_t, 32> &list);

// The boot sector of the first volume in the reference image, following a
// partition table in its first sector to the partition's start.
bool ReadReferenceBootSector(uint8_t *sector512);

// One 512-byte sector of the volume of drive index (0 = A:).
bool ReadVolumeSector(uint32_t index, uint32_t sector, uint8_t *buffer512);

// One pass of the reset wait: the first listed drive whose boot sector equals
// the reference (bytes 0..11 not compared); "X:" into drive.
bool FindResumedVolume(char *drive);

// The pause between passes of the reset wait, replaceable so that tests need
// not wait real seconds. Returns the previous function; nullptr restores the
// real sleep.
using SleepFn = void (*)(uint32_t milliseconds);
SleepFn setResumeSleep(SleepFn sleep);

} // namespace quendal
