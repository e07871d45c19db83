// QuendalRecovery.dll: the device control library built from the same sources
// as Quendal.dll, with three exports more for bringing a disk's table back.
// Quendal.dll keeps its 28 exports exactly; only quendal loads this library,
// for `quendal table save|restore` and for --force.
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

#ifdef __cplusplus
}
#endif
