// The three exports of QuendalRecovery.dll. They reach the library's state and
// its information-block write directly, which Quendal.dll's 28 exports do not
// offer and must not start to.
#include <cstring>
#include <string>

#include "Internal.h"
#include "QuendalRecovery.h"
#include "TableStore.h"
#include "table_layout.h"
#include "platform/PrivateFiles.h"

namespace quendal {

namespace {

bool refuse(int32_t code) {
    setError(code);
    return false;
}

// A copy sound on the device now, at any page the scan reached.
bool soundCopyAt(int32_t page) {
    const LibraryState &st = state();
    return page != -1 && (page == st.PrimaryInfoBlock || page == st.BackupInfoBlock);
}

bool restore(const tables::SavedTable &saved) {
    LibraryState &st = state();
    std::array<uint8_t, kSectorSize> info{};
    if (!readDeviceInfo(info.data())) return false;
    const uint16_t pageSectors = cfgtbl::pageSectorsFromInfo(info.data());
    const uint16_t blockUnit = bo::getLE16(info.data() + cfgtbl::kDevBlockUnit);
    if (tables::identityOf(info.data()) != saved.identity || pageSectors != saved.pageSectors ||
        blockUnit != saved.blockUnit)
        return refuse(QUENDAL_ERR_NOT_THIS_DISK);
    // A maker table is sealed by a digest over its run, which the
    // information-block write does not make; this system never rewrites one.
    if (saved.controllerKind != kVersionTable) return refuse(QUENDAL_ERR_CONTROLLER_KIND);

    // What the disk holds now: its capacity must be the saved one, no copy may
    // live where the saved table does not put one, and it is saved before it
    // is replaced.
    InitVariable();
    std::array<uint8_t, kSectorSize> current{};
    const bool haveTable = GetConfigTable(current.data()) != 0;
    if (haveTable) {
        UpdateParam();
        if (tables::tableCapacity(current.data()) != saved.capacity) return refuse(QUENDAL_ERR_NOT_THIS_DISK);
        for (int32_t page : {st.PrimaryInfoBlock, st.BackupInfoBlock})
            if (page != -1 && !saved.names(uint32_t(page))) return refuse(QUENDAL_ERR_NOT_THIS_DISK);
        tables::SavedTable before;
        std::string path, error;
        if (!snapshotScannedTable("before a restore", &before) || !tables::saveToStore(before, &path, &error))
            return refuse(QUENDAL_ERR_TABLE_NOT_SAVED);
    }

    const tables::SavedCopy *content = saved.content();
    if (saved.infoSectors > kInfoBufferSectors || content->info.size() != size_t(saved.infoSectors) * kSectorSize)
        return refuse(QUENDAL_ERR_NOT_THIS_DISK);
    std::memcpy(st.TableCopy.data(), content->table.data(), kSectorSize);
    std::memcpy(st.InfoBuffer.data(), content->info.data(), content->info.size());
    st.ControllerKind = kVersionTable;
    st.HaveTable = true;
    st.PageSectors = pageSectors;
    st.BlockUnit = blockUnit;
    if (!UpdateParam()) return false;

    // With one of the two pages holding a sound copy now, the other is written
    // first, so that a cut leaves the sound one; otherwise in the saved order.
    const uint32_t p0 = saved.copies[0].page, p1 = saved.copies[1].page;
    const int32_t first = int32_t(p0 != tables::kNoPage ? p0 : p1);
    const int32_t second = p0 != tables::kNoPage && p1 != tables::kNoPage ? int32_t(p1) : -1;
    const bool firstSound = haveTable && soundCopyAt(first), secondSound = haveTable && soundCopyAt(second);
    st.PrimaryInfoBlock = first;
    st.BackupInfoBlock = second;
    st.MissingInfoBlock = -1;
    if (second != -1 && firstSound != secondSound) {
        st.PrimaryInfoBlock = firstSound ? first : second;
        st.MissingInfoBlock = firstSound ? second : first;
        st.BackupInfoBlock = -1;
    }
    std::array<uint8_t, kSectorSize> table = st.TableCopy;
    const bool written = WriteInfoBlocks(table.data()) != 0;
    // The device's table in force changes only at its next start: nothing of
    // this disk is kept as if it had been read.
    InitVariable();
    return written;
}

} // namespace

} // namespace quendal

using namespace quendal;

extern "C" {

QUENDAL_API int32_t RecoveryAllowLastCopy(int32_t allow) {
    const int32_t previous = state().RewriteLastCopy ? 1 : 0;
    state().RewriteLastCopy = allow != 0;
    return previous;
}

QUENDAL_API int32_t RecoverySaveTable(const char *path) {
    LibraryState &st = state();
    if (!st.TransportReady || !path || !st.HaveTable) return 0;
    try {
        tables::SavedTable saved;
        if (!snapshotScannedTable("on the user's request", &saved)) return 0;
        std::string error;
        if (!platform::writeNewPrivateFile(path, tables::encode(saved), &error)) {
            setError(QUENDAL_ERR_TABLE_NOT_SAVED);
            return 0;
        }
        return 1;
    } catch (...) {
        return 0;
    }
}

QUENDAL_API int32_t RecoveryRestoreTable(const uint8_t *file, uint32_t length) {
    if (!state().TransportReady || !file) return 0;
    tables::SavedTable saved;
    std::string error;
    if (!tables::decode(std::string(reinterpret_cast<const char *>(file), length), &saved, &error)) {
        setError(QUENDAL_ERR_NOT_THIS_DISK);
        return 0;
    }
    try {
        return restore(saved) ? 1 : 0;
    } catch (...) {
        // Nothing may leave the library.
        return 0;
    }
}

} // extern "C"
