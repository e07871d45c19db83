// QuendalRecovery.dll: the device control library built from the same sources
// as Quendal.dll, with exports more for bringing a disk's table back and for
// testing its whole flash. Quendal.dll keeps its 28 exports exactly; only
// quendal loads this library, for `quendal table save|restore`, for --force
// and for `quendal check`.
#pragma once

#include "Quendal.h"

#ifdef __cplusplus
extern "C" {
#endif

// Lets a table rewrite go on (allow nonzero) when only one copy of the table is
// left and where the other lived is unknown; that rewrite erases the last copy
// before it writes it again. Returns the previous setting.
QUENDAL_API int32_t RecoveryAllowLastCopy(int32_t allow);

// Writes what the last table scan found (both copies with their pages, their
// information sectors, the device's identity and capacity) as a new file at
// path, readable by the user alone. 1, or 0 when there is no table loaded, the
// device cannot be read (code 18 when it no longer holds what the scan read)
// or the file cannot be written (code 20).
QUENDAL_API int32_t RecoverySaveTable(const char *path);

// Writes a saved table (the bytes of a file RecoverySaveTable or a rewrite
// saved) back into the information blocks of this disk: its table and
// information sectors into every page the file names, the page without a sound
// copy first. What the disk holds now is saved in the user's store before. 1,
// or 0 with code 21 when the file is damaged or is not this disk's (identity,
// geometry, capacity, or a sound copy at a page the file does not name), code 4
// for a maker table, 20 when the table in place cannot be saved, and the codes
// of the information-block write.
QUENDAL_API int32_t RecoveryRestoreTable(const uint8_t *file, uint32_t length);

// Reads the disk's table afresh and sends the whole-disk table: until the
// device's next reset, plain sector addresses reach every sector of every area
// (the secure area too, logged in or not), 0 to the capacity. The stored table
// and the data are not touched. beforeWrites nonzero: the caller is about to
// write over the areas, so the table is first saved in the user's store, as
// before a format, and write protection is switched off. Returns the whole
// disk's sectors, or 0 with code 1 (no table), 4 (not a version table: this
// system lays out no other), 2 (a capacity of 0), 18 or 20 (the save), or 3.
QUENDAL_API int32_t RecoveryWholeDiskLayout(int32_t beforeWrites);

#ifdef __cplusplus
}
#endif
