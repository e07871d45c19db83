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
// Makes the host program's folder the current directory (format procedure).
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

// --- FatImage.cpp / FileCopy.cpp (declared in FatImage.h) --------------------

// --- Format.cpp ----------------------------------------------------------------
void ReportProgress(int32_t percent, const char *text);

} // namespace quendal
