// Internal operations of Quendal.dll that one concern offers another. Each is
// defined in the file of its concern (named in the comment); none is exported.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "LibraryState.h"

namespace tables {
struct SavedTable;
}

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
// GetConfigTable's scan; the export is the same function. It also records in
// ScannedCopyDigest what it read of each copy it keeps.

// A copy of the table as the device holds it now, read as the scan reads it.
struct CopyOnDevice {
    std::array<uint8_t, kSectorSize> table{};
    std::vector<uint8_t> info; // infoSectors x 512 bytes; sectors that failed to read are zero
    uint32_t infoSectors = 0;
    std::array<uint8_t, 16> digest{}; // MD5 of the table sector and the information sectors
};
// Reads the copy at page. False when its table sector cannot be read or is of
// neither table kind.
bool readCopyAt(uint32_t page, CopyOnDevice *out);

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
// WriteInfoBlocks' refusals, checked before anything is written: no primary
// block (code 11), a page size of 0 (code 17), an interleaved write without its
// counts, more information sectors than the buffer holds.
bool infoBlockWritePossible();
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

// --- TableGuard.cpp -------------------------------------------------------------
// Every rewrite of the table (format, password change, restore) goes through
// these first.

// Reads again the copies the scan found; false with code 18 when one of them is
// no longer what the scan read (another program rewrote the table since).
bool tableUnchangedSinceScan();
// What the scan found, read again, as a saved table: the copies with their
// pages, and for a disk with one copy the page where the other lived when that
// is known (MissingInfoBlock, or the user's saved tables, which then sets
// MissingInfoBlock). False when the device cannot be read.
bool snapshotScannedTable(const char *reason, tables::SavedTable *out);
// Before a rewrite: the table unchanged since the scan (code 18), the missing
// copy's place known unless RewriteLastCopy (code 19), and the table saved in
// the user's store (code 20). False, with nothing written, when any fails.
bool guardRewrite(const char *reason);
// Before the areas are written over while the table stays (a destructive disk
// check): the table unchanged since the scan (code 18) and saved in the user's
// store (code 20), so that the layout it describes can be told and put back.
bool saveScannedTable(const char *reason);

// --- Format.cpp ----------------------------------------------------------------
void ReportProgress(int32_t percent, const char *text);

} // namespace quendal
