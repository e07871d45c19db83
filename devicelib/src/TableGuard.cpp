// The guard around every rewrite of the configuration table. A rewrite erases
// each copy before it programs it again, so a cut at the wrong moment loses
// that copy, and the device keeps nothing that says where it lived. Before
// anything is erased, therefore: the copies are read again and must still be
// what the scan read (another program may have rewritten the table since, and
// its table must not be overwritten with a stale one); the table is saved in
// the user's store, from which it can be written back; and a disk that has
// only one copy left gets its second copy written first, into the place the
// scan or the saved tables know, or is not touched at all.
#include <ctime>

#include "Internal.h"
#include "TableStore.h"

namespace quendal {

namespace {

bool hasSecondCopy(const LibraryState &st) {
    return st.BackupInfoBlock != -1 && st.BackupInfoBlock != st.PrimaryInfoBlock;
}

// Reads the copy the scan kept in slot (0 primary, 1 backup) at page and checks
// it against what the scan read.
bool rereadCopy(size_t slot, int32_t page, CopyOnDevice *now) {
    const LibraryState &st = state();
    if (!readCopyAt(uint32_t(page), now) || !st.ScannedCopyKnown[slot] || now->digest != st.ScannedCopyDigest[slot]) {
        setError(QUENDAL_ERR_TABLE_CHANGED);
        return false;
    }
    return true;
}

tables::SavedCopy savedCopy(int32_t page, const CopyOnDevice &c) {
    tables::SavedCopy s;
    s.page = uint32_t(page);
    s.present = true;
    s.table = c.table;
    s.info = c.info;
    return s;
}

} // namespace

bool tableUnchangedSinceScan() {
    const LibraryState &st = state();
    if (st.PrimaryInfoBlock == -1) return false;
    CopyOnDevice now;
    if (!rereadCopy(0, st.PrimaryInfoBlock, &now)) return false;
    return !hasSecondCopy(st) || rereadCopy(1, st.BackupInfoBlock, &now);
}

bool snapshotScannedTable(const char *reason, tables::SavedTable *out) {
    LibraryState &st = state();
    if (st.PrimaryInfoBlock == -1) return false;
    std::array<uint8_t, kSectorSize> info{};
    if (!readDeviceInfo(info.data())) return false;
    CopyOnDevice primary;
    if (!rereadCopy(0, st.PrimaryInfoBlock, &primary)) return false;

    tables::SavedTable t;
    t.savedAt = int64_t(std::time(nullptr));
    t.reason = reason;
    t.capacity = tables::tableCapacity(primary.table.data());
    t.controllerKind = uint8_t(st.ControllerKind);
    t.pageSectors = st.PageSectors;
    t.blockUnit = st.BlockUnit;
    t.infoSectors = uint16_t(primary.infoSectors);
    t.identity = tables::identityOf(info.data());
    t.copies[0] = savedCopy(st.PrimaryInfoBlock, primary);
    if (hasSecondCopy(st)) {
        CopyOnDevice backup;
        if (!rereadCopy(1, st.BackupInfoBlock, &backup)) return false;
        t.copies[1] = savedCopy(st.BackupInfoBlock, backup);
    } else {
        // The device's own trace of a cut-off copy first; failing that, the
        // place an earlier saved table of this disk gives.
        uint32_t missing = st.MissingInfoBlock >= 0
                               ? uint32_t(st.MissingInfoBlock)
                               : tables::partnerPage(tables::diskKey(t), uint32_t(st.PrimaryInfoBlock));
        if (missing != tables::kNoPage) st.MissingInfoBlock = int32_t(missing);
        t.copies[1].page = missing;
    }
    *out = std::move(t);
    return true;
}

bool guardRewrite(const char *reason) {
    LibraryState &st = state();
    tables::SavedTable saved;
    if (!snapshotScannedTable(reason, &saved)) return false;
    if (!hasSecondCopy(st) && st.MissingInfoBlock == -1 && !st.RewriteLastCopy) {
        setError(QUENDAL_ERR_LAST_COPY);
        return false;
    }
    std::string path, error;
    if (!tables::saveToStore(saved, &path, &error)) {
        setError(QUENDAL_ERR_TABLE_NOT_SAVED);
        return false;
    }
    return true;
}

} // namespace quendal
