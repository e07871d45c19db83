// The information-block writes as the transport sees them: the order and the
// addresses of the prepares, table sectors and information sectors, what a
// failed write leaves unsent, and the refusals that must come before any write.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "Internal.h"
#include "LibraryState.h"
#include "table_layout.h"

namespace {

using namespace quendal;

struct Write {
    uint32_t address;
    std::vector<uint8_t> data;
};
std::vector<Write> gWrites;
int gFailAt = -1;   // index of the write that fails, -1 none

int32_t fakeWriteDisk(uint32_t address, uint32_t count, const void *data) {
    EXPECT_EQ(count, 1u);
    const auto *p = static_cast<const uint8_t *>(data);
    if (int(gWrites.size()) == gFailAt) {
        gFailAt = -2;   // record nothing more of the failed one
        return 0;
    }
    gWrites.push_back({address, std::vector<uint8_t>(p, p + 512)});
    return 1;
}
// Sectors the fake device answers with; every other read fails.
std::map<uint32_t, std::array<uint8_t, 512>> gSectors;
std::vector<uint32_t> gReads;
int32_t fakeReadDisk(uint32_t address, uint32_t, void *buffer) {
    gReads.push_back(address);
    auto it = gSectors.find(address);
    if (it == gSectors.end()) return 0;
    std::memcpy(buffer, it->second.data(), 512);
    return 1;
}
std::vector<uint8_t> gScsiData;
std::array<uint8_t, 12> gScsiCdb;
int32_t fakeWriteScsi(const uint8_t *cdb, const void *data, uint32_t length) {
    std::memcpy(gScsiCdb.data(), cdb, 12);
    const auto *p = static_cast<const uint8_t *>(data);
    gScsiData.assign(p, p + length);
    return 0x10001;   // only the low 16 bits count
}

class InfoBlocks : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = state();
        LibraryState &st = state();
        st.TransportReady = true;
        st.ops.WriteDisk = fakeWriteDisk;
        st.ops.ReadDisk = fakeReadDisk;
        st.ops.WriteScsi = fakeWriteScsi;
        st.PrimaryInfoBlock = 8;
        st.BackupInfoBlock = 40;
        st.DamagedInfoBlock = -1;
        st.PageSectors = 4;
        st.BlockUnit = 4;
        st.InfoSectors = 8;
        st.InterleavedInfo = false;
        st.Interleave = 4;
        st.LastError = 0;
        for (size_t i = 0; i < 16 * 512; ++i) st.InfoBuffer[i] = uint8_t(i * 7 + i / 512);
        for (size_t i = 0; i < 512; ++i) table_[i] = uint8_t(i ^ 0x5A);
        gWrites.clear();
        gFailAt = -1;
        gSectors.clear();
        gReads.clear();
    }
    void TearDown() override { state() = saved_; }

    std::vector<uint32_t> addresses() const {
        std::vector<uint32_t> a;
        for (const auto &w : gWrites) a.push_back(w.address);
        return a;
    }
    LibraryState saved_;
    uint8_t table_[512];
};

constexpr uint32_t kPrepare = 0x40000000u;
uint32_t tableAt(uint32_t page) { return 0x20800000u | page; }
uint32_t infoAt(uint32_t slot, uint32_t page) { return ((8u + slot) << 26) | page; }

TEST_F(InfoBlocks, SimpleWriteOfPrimaryThenBackup) {
    ASSERT_EQ(WriteInfoBlocks(table_), 1);
    std::vector<uint32_t> expected;
    for (uint32_t a : {8u, 40u}) {
        expected.push_back(kPrepare);
        expected.push_back(tableAt(a));
        for (uint32_t i = 0; i < 8; ++i) expected.push_back(infoAt(i % 4, a + 1 + i / 4));
    }
    EXPECT_EQ(addresses(), expected);

    // Prepare record: operation 0, 1, 0, block address, one block.
    const auto &prep = gWrites[0].data;
    EXPECT_EQ(prep[0], 0);
    EXPECT_EQ(prep[1], 1);
    EXPECT_EQ(prep[2], 0);
    EXPECT_EQ(bo::getLE32(prep.data() + 4), 8u);
    EXPECT_EQ(bo::getLE32(prep.data() + 8), 1u);
    for (size_t i = 12; i < 512; ++i) ASSERT_EQ(prep[i], 0) << i;
    EXPECT_EQ(bo::getLE32(gWrites[10].data.data() + 4), 40u);

    // Each copy's table sector names its own page and is sealed; the rest is the caller's.
    for (auto [index, page] : {std::pair{1, 8u}, std::pair{11, 40u}}) {
        const auto &t = gWrites[size_t(index)].data;
        EXPECT_EQ(bo::getLE16(t.data() + 228), page);
        uint32_t x = 0;
        for (size_t o = 0; o < 512; o += 4) x ^= bo::getLE32(t.data() + o);
        EXPECT_EQ(x, 0u);
        for (size_t i = 8; i < 512; ++i)
            if (i != 228 && i != 229) ASSERT_EQ(t[i], table_[i]) << i;
    }
    EXPECT_EQ(table_[228], uint8_t(228 ^ 0x5A));   // the caller's table is not written to

    // The information sectors carry the sealed buffer.
    const LibraryState &st = state();
    EXPECT_EQ(bo::getLE32(st.InfoBuffer.data() + 4088), 0xA5A5A5A5u);
    for (uint32_t i = 0; i < 8; ++i)
        EXPECT_EQ(std::memcmp(gWrites[2 + i].data.data(), st.InfoBuffer.data() + i * 512, 512), 0) << i;
}

TEST_F(InfoBlocks, SixteenSectorsSealBothHalves) {
    state().InfoSectors = 16;
    state().BackupInfoBlock = -1;
    ASSERT_EQ(WriteInfoBlocks(table_), 1);
    EXPECT_EQ(gWrites.size(), 2u + 16u);
    EXPECT_EQ(bo::getLE32(state().InfoBuffer.data() + 4088), 0xA5A5A5A5u);
    EXPECT_EQ(bo::getLE32(state().InfoBuffer.data() + 4096 + 4088), 0xA5A5A5A5u);
    EXPECT_EQ(gWrites.back().address, infoAt(3, 12));
}

TEST_F(InfoBlocks, SlotIsTheSectorInPageAndThree) {
    state().PageSectors = 8;
    state().BackupInfoBlock = -1;
    ASSERT_EQ(WriteInfoBlocks(table_), 1);
    // Eight sectors in one page: sectors 4..7 reuse the slots of 0..3.
    const std::vector<uint32_t> expected = {kPrepare,     tableAt(8),   infoAt(0, 9), infoAt(1, 9), infoAt(2, 9),
                                            infoAt(3, 9), infoAt(0, 9), infoAt(1, 9), infoAt(2, 9), infoAt(3, 9)};
    EXPECT_EQ(addresses(), expected);
}

TEST_F(InfoBlocks, InterleavedPreparesAndWholePages) {
    LibraryState &st = state();
    st.InterleavedInfo = true;
    st.Interleave = 4;
    st.BackupInfoBlock = -1;
    ASSERT_EQ(WriteInfoBlocks(table_), 1);
    // g = (8 + 4) / 4 = 3, below the interleave: 3 blocks from 8 / 4 = 2, at
    // 2*4 - 2*3 = 2, 3*4 - 3*3 = 3, 4*4 - 0 = 16.
    ASSERT_GE(gWrites.size(), 4u);
    EXPECT_EQ(bo::getLE32(gWrites[0].data.data() + 4), 2u);
    EXPECT_EQ(bo::getLE32(gWrites[1].data.data() + 4), 3u);
    EXPECT_EQ(bo::getLE32(gWrites[2].data.data() + 4), 16u);
    std::vector<uint32_t> expected = {kPrepare, kPrepare, kPrepare, tableAt(8)};
    for (uint32_t p = 0; p < 2; ++p)
        for (uint32_t k = 0; k < 4; ++k) expected.push_back(infoAt(k, 9 + p));
    EXPECT_EQ(addresses(), expected);

    // Interleave 2, 16 sectors, block unit 2, copy at 40: g = 5, count = 2 + (5/4) mod 4 = 3,
    // blocks from 20 at 40, 42 - 1 = 41, 44.
    gWrites.clear();
    st.Interleave = 2;
    st.BlockUnit = 2;
    st.InfoSectors = 16;
    st.PrimaryInfoBlock = 40;
    ASSERT_EQ(WriteInfoBlocks(table_), 1);
    ASSERT_EQ(gWrites.size(), 3u + 1u + 16u);
    EXPECT_EQ(bo::getLE32(gWrites[0].data.data() + 4), 40u);
    EXPECT_EQ(bo::getLE32(gWrites[1].data.data() + 4), 41u);
    EXPECT_EQ(bo::getLE32(gWrites[2].data.data() + 4), 44u);
}

TEST_F(InfoBlocks, InterleavedPartialPageIsNotWritten) {
    LibraryState &st = state();
    st.InterleavedInfo = true;
    st.InfoSectors = 10;   // two whole pages of 4
    st.BackupInfoBlock = -1;
    ASSERT_EQ(WriteInfoBlocks(table_), 1);
    size_t infoWrites = 0;
    for (uint32_t a : addresses())
        if (a >= 0x20000000u && a < 0x40000000u && (a & 0x00800000u) == 0) ++infoWrites;
    EXPECT_EQ(infoWrites, 8u);
}

TEST_F(InfoBlocks, RefusalsSendNothing) {
    LibraryState &st = state();
    st.PageSectors = 0;
    EXPECT_EQ(WriteInfoBlocks(table_), 0);
    EXPECT_EQ(st.LastError, QUENDAL_ERR_ZERO_PAGE_SECTORS);
    st.InterleavedInfo = true;
    EXPECT_EQ(WriteInfoBlocks(table_), 0);
    EXPECT_TRUE(gWrites.empty());

    st.PageSectors = 4;
    st.Interleave = 0;
    st.LastError = 0;
    EXPECT_EQ(WriteInfoBlocks(table_), 0);
    st.Interleave = 2;
    st.BlockUnit = 0;
    EXPECT_EQ(WriteInfoBlocks(table_), 0);
    EXPECT_EQ(st.LastError, 0);
    EXPECT_TRUE(gWrites.empty());

    st.PrimaryInfoBlock = -1;
    EXPECT_EQ(WriteInfoBlocks(table_), 0);
    EXPECT_EQ(st.LastError, QUENDAL_ERR_NO_PRIMARY_BLOCK);
    EXPECT_TRUE(gWrites.empty());
}

TEST_F(InfoBlocks, AFailedWriteStopsBeforeTheOtherCopy) {
    // Fail each write of the primary in turn: nothing of the backup may follow.
    for (int failAt = 0; failAt < 10; ++failAt) {
        gWrites.clear();
        gFailAt = failAt;
        EXPECT_EQ(WriteInfoBlocks(table_), 0) << failAt;
        EXPECT_EQ(gWrites.size(), size_t(failAt)) << failAt;
    }
}

TEST_F(InfoBlocks, BackupThatIsThePrimaryIsWrittenOnce) {
    state().BackupInfoBlock = 8;
    ASSERT_EQ(WriteInfoBlocks(table_), 1);
    EXPECT_EQ(gWrites.size(), 10u);
}

TEST_F(InfoBlocks, InterruptedCopyIsRestoredBeforeTheSoundOne) {
    LibraryState &st = state();
    st.PrimaryInfoBlock = 40;
    st.BackupInfoBlock = -1;
    st.DamagedInfoBlock = 8;
    // Cut off while restoring page 8: page 40 must not have been touched.
    gFailAt = 3;
    EXPECT_EQ(WriteInfoBlocks(table_), 0);
    for (uint32_t a : addresses()) EXPECT_NE(a & 0xFFFF, 40u);
    EXPECT_EQ(st.DamagedInfoBlock, 8);

    gWrites.clear();
    gFailAt = -1;
    ASSERT_EQ(WriteInfoBlocks(table_), 1);
    ASSERT_EQ(gWrites.size(), 20u);
    EXPECT_EQ(gWrites[1].address, tableAt(8));
    EXPECT_EQ(gWrites[11].address, tableAt(40));
    EXPECT_EQ(st.BackupInfoBlock, 8);
    EXPECT_EQ(st.DamagedInfoBlock, -1);
}

TEST_F(InfoBlocks, CommitSendsTheFirstHalfOfTheBuffer) {
    ASSERT_EQ(CommitInformation(), 1);
    const std::array<uint8_t, 12> cdb = {0x2A, 0, 0x70, 0, 0, 0, 0, 0, 0x08, 0, 0, 0};
    EXPECT_EQ(gScsiCdb, cdb);
    ASSERT_EQ(gScsiData.size(), 4096u);
    EXPECT_EQ(std::memcmp(gScsiData.data(), state().InfoBuffer.data(), 4096), 0);
}

TEST_F(InfoBlocks, WholeDiskLayoutAndItsFailure) {
    LibraryState &st = state();
    st.DiskCapacity = 123456;
    uint8_t t[512];
    std::memset(t, 0x77, sizeof t);
    ASSERT_EQ(SetWholeDiskLayout(t), 1);
    ASSERT_EQ(gWrites.size(), 1u);
    EXPECT_EQ(gWrites[0].address, 0x22800000u);
    const uint8_t *w = gWrites[0].data.data();
    EXPECT_EQ(w[234], 0);
    EXPECT_EQ(bo::getLE32(w + 236), 123456u);
    for (size_t o = 240; o < 256; o += 4) EXPECT_EQ(bo::getLE32(w + o), 0u) << o;
    EXPECT_EQ(w[235], 0x77);
    EXPECT_EQ(w[256], 0x77);

    gWrites.clear();
    gFailAt = 0;
    EXPECT_EQ(SetWholeDiskLayout(t), 0);
    EXPECT_EQ(st.LastError, QUENDAL_ERR_WHOLE_DISK_TABLE);
}

TEST_F(InfoBlocks, PasswordChangeRefusalsWriteNothing) {
    LibraryState &st = state();
    st.StoredDigest = loginDigest("pw");
    st.TableCopy.fill(0);

    st.ControllerKind = kMakerTable;   // the maker's table keeps its password
    EXPECT_EQ(ChangePassword("pw", "new"), 0);
    EXPECT_EQ(st.LastError, 0);

    st.ControllerKind = kControllerNone;
    EXPECT_EQ(ChangePassword("pw", "new"), 0);
    EXPECT_EQ(st.LastError, QUENDAL_ERR_CONTROLLER_KIND);

    st.ControllerKind = kVersionTable;
    st.PageSectors = 0;
    EXPECT_EQ(ChangePassword("pw", "new"), 0);
    EXPECT_EQ(st.LastError, QUENDAL_ERR_ZERO_PAGE_SECTORS);
    EXPECT_TRUE(gWrites.empty());

    st.PageSectors = 4;
    EXPECT_EQ(ChangePassword("pw", nullptr), 0);
    EXPECT_TRUE(gWrites.empty());
    ASSERT_EQ(ChangePassword("pw", "new"), 1);
    const Digest d = loginDigest("new");
    EXPECT_EQ(std::memcmp(gWrites[1].data.data() + 208, d.data(), 16), 0);
    // The loaded digest only changes when the table is read again.
    EXPECT_EQ(st.StoredDigest, loginDigest("pw"));
}

// A device that reports no sectors per page cannot address its information
// sectors: the scan skips its tables instead of dividing by zero.
TEST_F(InfoBlocks, ScanWithZeroPageSizeFindsNothing) {
    std::array<uint8_t, 512> info{};
    bo::putLE16(info.data() + 10, 1);   // 1 halved: 0 sectors per page
    bo::putLE16(info.data() + 4, 4);
    gSectors[0x30000000u] = info;
    std::array<uint8_t, 512> t{};
    bo::putLE32(t.data(), 0x5A5A5A5Au);
    std::memcpy(t.data() + 204, "2.00", 4);
    t[26] = 8;
    t[272] = 0x10;   // whole pages only: floor(8 / 0) pages
    SealConfigTable(t.data());
    gSectors[0x10000008u] = t;
    std::array<uint8_t, 512> m{};
    bo::putLE32(m.data(), 0x5A5A5A5Au);
    std::memcpy(m.data() + 503, "Morvantek", 9);
    m[16] = 2;
    gSectors[0x10000010u] = m;

    LibraryState &st = state();
    st.PrimaryInfoBlock = st.BackupInfoBlock = -1;
    st.HaveTable = false;
    std::array<uint8_t, 512> out{};
    EXPECT_EQ(GetConfigTable(out.data()), 0);
    EXPECT_EQ(st.LastError, QUENDAL_ERR_NO_TABLE);
    EXPECT_EQ(st.PageSectors, 0);
    EXPECT_EQ(gReads.size(), 1u + 1024u);
}

} // namespace
