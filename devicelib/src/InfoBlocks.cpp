// Seals and writes the configuration table and its information sectors back
// into the controller's information blocks, and commits the information buffer.
//
// The controller programs an information page only after its block has been
// prepared (erased), so every rewrite of a copy passes through a moment where
// that copy is gone. The copies are therefore written one after the other, the
// second only once the first is complete: whichever write fails, one sound copy
// stays on the device.
#include <cstring>

#include "Internal.h"
#include "table_layout.h"

namespace quendal {

namespace {

constexpr uint32_t kWordsPerSector = kSectorSize / 4;

bool writeSector(uint32_t address, const uint8_t *data) { return state().ops.WriteDisk(address, 1, data) != 0; }

// Table sector of the information block at page: (0x20000000 + page) OR 0x00800000.
uint32_t infoTableAddress(uint32_t page) { return (0x20000000u + page) | cfgtbl::addr::kInfoTableFlag; }

// Table sector of the copy at page a: it records its own page and is sealed.
bool writeTableSector(const uint8_t *table512, uint32_t a) {
    std::array<uint8_t, kSectorSize> copy;
    std::memcpy(copy.data(), table512, kSectorSize);
    bo::putLE16(copy.data() + cfgtbl::kBlockPage, uint16_t(a));
    SealConfigTable(copy.data());
    return writeSector(infoTableAddress(a), copy.data());
}

bool writeInfoSector(uint32_t index, uint32_t sectorInPage, uint32_t page) {
    const uint8_t *data = state().InfoBuffer.data() + size_t(index) * kSectorSize;
    return writeSector(cfgtbl::addr::infoPage(true, sectorInPage, page), data);
}

// The count is always 1, also where a table with its information sectors runs
// into the next erase block: the controller erases the whole information block.
bool sendPrepare(uint32_t blockAddress) {
    std::array<uint8_t, kSectorSize> cmd{};
    cmd[0] = 0; // operation: erase before programming
    cmd[1] = 1;
    cmd[2] = 0;
    bo::putLE32(cmd.data() + 4, blockAddress);
    bo::putLE32(cmd.data() + 8, 1);
    return writeSector(cfgtbl::addr::kBlockPrepare, cmd.data());
}

bool writeInfoBlockSimple(const uint8_t *table512, uint32_t a) {
    const LibraryState &st = state();
    if (!sendPrepare(a)) return false;
    if (!writeTableSector(table512, a)) return false;
    for (uint32_t i = 0; i < st.InfoSectors; ++i)
        if (!writeInfoSector(i, i % st.PageSectors, a + 1 + i / st.PageSectors)) return false;
    return true;
}

bool writeInfoBlockInterleaved(const uint8_t *table512, uint32_t a, uint32_t count) {
    const LibraryState &st = state();
    const uint32_t unit = st.BlockUnit;
    const uint32_t ways = uint32_t(st.Interleave);
    // The blocks of one copy are spread over the controller's interleaved planes;
    // (j - (j AND (ways-1))) x unit + (j AND (ways-1)) names block j's first page.
    const uint32_t first = a / unit;
    for (uint32_t j = first; j < first + count; ++j)
        if (!sendPrepare(j * unit - (j & (ways - 1)) * (unit - 1))) return false;
    if (!writeTableSector(table512, a)) return false;
    // Whole pages only: a partial last page is not written in this form.
    const uint32_t pages = st.InfoSectors / st.PageSectors;
    for (uint32_t p = 0; p < pages; ++p)
        for (uint32_t k = 0; k < st.PageSectors; ++k)
            if (!writeInfoSector(p * st.PageSectors + k, k, a + 1 + p)) return false;
    return true;
}

bool writeOneBlock(const uint8_t *table512, uint32_t a) {
    const LibraryState &st = state();
    if (!st.InterleavedInfo) return writeInfoBlockSimple(table512, a);
    const uint32_t ways = uint32_t(st.Interleave);
    const uint32_t unit = st.BlockUnit;
    const uint32_t g = (st.InfoSectors + st.PageSectors) / st.PageSectors;
    const uint32_t count = (g / ways == 0) ? g : ways + (g / (ways * unit)) % (ways * unit);
    return writeInfoBlockInterleaved(table512, a, count);
}

} // namespace

void SealConfigTable(uint8_t *table512) {
    uint32_t x = bo::getLE32(table512);
    for (uint32_t w = 2; w < kWordsPerSector; ++w) x ^= bo::getLE32(table512 + 4 * w);
    bo::putLE32(table512 + cfgtbl::kCheckWord, x);
}

void SealInfoBuffer(uint8_t *buffer, uint32_t sectors) {
    const uint32_t halves = sectors == 16 ? 2 : 1;
    for (uint32_t h = 0; h < halves; ++h) {
        uint8_t *half = buffer + h * cfgtbl::kInfoHalf;
        bo::putLE32(half + cfgtbl::kInfoMark, cfgtbl::kInfoMarkValue);
        uint32_t x = 0;
        for (size_t off = 0; off <= cfgtbl::kInfoMark; off += 4) x ^= bo::getLE32(half + off);
        bo::putLE32(half + cfgtbl::kInfoCheck, x);
    }
}

int SendBlockPrepare(uint32_t blockAddress) {
    if (!state().TransportReady) return 0;
    return sendPrepare(blockAddress) ? 1 : 0;
}

bool infoBlockWritePossible() {
    const LibraryState &st = state();
    if (st.PrimaryInfoBlock == -1) {
        setError(QUENDAL_ERR_NO_PRIMARY_BLOCK);
        return false;
    }
    // Every write form divides by the page size; a device that reports none is
    // refused before anything is erased.
    if (st.PageSectors == 0) {
        setError(QUENDAL_ERR_ZERO_PAGE_SECTORS);
        return false;
    }
    if (st.InterleavedInfo && (st.Interleave == 0 || st.BlockUnit == 0)) return false;
    // The scan never loads more than the buffer holds; refuse rather than write
    // sectors from beyond it.
    return st.InfoSectors <= kInfoBufferSectors;
}

int WriteInfoBlocks(const uint8_t *table512) {
    LibraryState &st = state();
    if (!st.TransportReady || !table512 || !infoBlockWritePossible()) return 0;

    SealInfoBuffer(st.InfoBuffer.data(), st.InfoSectors);

    // Blocks in the order they are rewritten. The missing copy of a one-copy disk
    // goes first, while the one valid copy is still intact; a backup that is the
    // primary itself (a second scan without InitVariable) is not erased a second
    // time.
    int32_t order[3];
    int n = 0;
    if (st.BackupInfoBlock == -1 && st.MissingInfoBlock >= 0 && st.MissingInfoBlock != st.PrimaryInfoBlock)
        order[n++] = st.MissingInfoBlock;
    order[n++] = st.PrimaryInfoBlock;
    if (st.BackupInfoBlock != -1 && st.BackupInfoBlock != st.PrimaryInfoBlock) order[n++] = st.BackupInfoBlock;

    for (int i = 0; i < n; ++i)
        if (!writeOneBlock(table512, uint32_t(order[i]))) return 0;
    if (st.BackupInfoBlock == -1 && n == 2) {
        // The restored copy is the backup from now on.
        st.BackupInfoBlock = st.MissingInfoBlock;
        st.MissingInfoBlock = -1;
    }
    return 1;
}

int CommitInformation() {
    LibraryState &st = state();
    if (!st.TransportReady) return 0;
    const auto cdb = makeRw10(0x2A, cfgtbl::addr::kCommit, 8);
    const int32_t r = st.ops.WriteScsi(cdb.data(), st.InfoBuffer.data(), 4096);
    return (r & 0xFFFF) ? 1 : 0;
}

} // namespace quendal
