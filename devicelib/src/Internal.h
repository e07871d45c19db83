// Internal operations of Quendal.dll that one concern offers another. Each is
// defined in the file of its concern (named in the comment); none is exported.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "LibraryState.h"

namespace quendal {

// --- TransportBinding.cpp ----------------------------------------------------
// Makes the host program's folder the current directory (format procedure), or
// the folder named by QUENDAL_FORMAT_INPUTS_ENV when that is set.
void EnterProgramDirectory();

// --- VendorCommands.cpp ------------------------------------------------------
// Builds a 12-byte READ(10)/WRITE(10) command block.
std::array<uint8_t, 12> makeRw10(uint8_t opcode, uint32_t lba, uint16_t blocks);
// Reads the device information block into out (records code 9 on failure, like
// GetFlashDiskInfo) and updates DeviceInfo/DeviceInfoValid.
bool readDeviceInfo(uint8_t *out512);

// --- ConfigTable.cpp ---------------------------------------------------------
// GetConfigTable's scan; the export is the same function.

// --- Md5.cpp -------------------------------------------------------------------
using Digest = std::array<uint8_t, 16>;
Digest md5(const void *data, size_t length);
// LoginDigest of a NUL-terminated password.
Digest loginDigest(const char *password);

// --- Layout.cpp / InfoBlocks.cpp ---------------------------------------------
void SealConfigTable(uint8_t *table512);
void SealInfoBuffer(uint8_t *buffer, uint32_t sectors);
int SetWholeDiskLayout(uint8_t *table512);
int SendBlockPrepare(uint32_t blockAddress);
int WriteInfoBlocks(const uint8_t *table512);
int CommitInformation();

// Area placement for the format procedure.
// size of area i: its own size, or the size at 0x08 when that is 0.
uint32_t areaSize(const FormatSettings &settings, uint32_t index);
// BootLayout from FormatMode: 0,1 -> 0; 2 -> 2; 3 -> 1; 4 -> 3; 5 -> -1 (no FAT volume).
int bootLayoutForMode(uint8_t mode);
// First sector of area i under the whole-disk layout: the sum of the (substituted)
// sizes of the areas before it.
uint32_t areaStart(const FormatSettings &settings, uint32_t index);
// Every area of the call (areaCount of them, 1 to 3) is at least 1000 sectors after
// substitution; false also for an area count of 0 or above 3. Sets no error code.
bool areaSizesUsable(const FormatSettings &settings);
// The FAT builder's override of the mode's BootLayout by the area's size: under
// 4200 sectors 0 (FAT12), above 4,096,000 sectors 2 (FAT32); otherwise modeLayout.
int bootLayoutForArea(int modeLayout, uint32_t areaSectors);
// Area sector at which the volume's boot sector lies: 0, 32 or 63 for BootLayout 0..3.
uint32_t volumeStartForLayout(int bootLayout);
// Fills out512 with the partition table sector of an area (boot code, one active
// entry of type 0x0B for FAT32 or 0x06, start volumeStartForLayout, length the
// rest of the area, 55 AA). False (out512 untouched) for BootLayout 0.
bool buildPartitionTableSector(uint8_t *out512, int bootLayout, uint32_t areaSectors, bool fat32);

// --- Volumes.cpp (file login) ----------------------------------------------------
// Writes the 512-byte LoginFile record as the whole content of "<drive>\log.log"
// (drive is the "X:" text), replacing any existing file, hidden and written
// through. True when all 512 bytes were written.
bool writeLoginFile(const char *drive, const uint8_t *record512);

// --- FatImage.cpp / FileCopy.cpp (declared in FatImage.h) --------------------

// --- Format.cpp ----------------------------------------------------------------
void ReportProgress(int32_t percent, const char *text);

} // namespace quendal
