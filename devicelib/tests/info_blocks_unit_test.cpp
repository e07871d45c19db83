// The information-block writes as the transport sees them: the order and the
// addresses of the prepares, table sectors and information sectors, and the
// refusals that must come before any write.
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
bool gFailNext = false;
int32_t fakeWriteDisk(uint32_t address, uint32_t, const void *data) {
    if (gFailNext) return gFailNext = false, 0;
    const auto *p = static_cast<const uint8_t *>(data);
    gWrites.push_back({address, std::vector<uint8_t>(p, p + 512)});
    return 1;
}
// Sectors the fake device answers with; every other read fails.
std::map<uint32_t, std::array<uint8_t, 512>> gSectors;
size_t gReads = 0;
int32_t fakeReadDisk(uint32_t address, uint32_t, void *buffer) {
    ++gReads;
    auto it = gSectors.find(address);
    if (it == gSectors.end()) return 0;
    std::memcpy(buffer, it->second.data(), 512);
    return 1;
}
std::vector<uint8_t> gScsiData;
std::array<uint8_t, 12> gScsiCdb;
int32_t fakeWriteScsi(const uint8_t *cdb, const void *data, uint32_t length) {
    std::memcpy(gScsiCdb.data(), cdb, 12);
    gScsiData.assign(static_cast<const uint8_t *>(data), static_cast<const uint8_t *>(data) + length);
    return 0x10001; // only the low 16 bits count
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
        st.MissingInfoBlock = -1;
        st.PageSectors = 4;
        st.BlockUnit = 4;
        st.InfoSectors = 8;
        st.InterleavedInfo = false;
        st.Interleave = 4;
        st.LastError = 0;
        for (size_t i = 0; i < 16 * 512; ++i) st.InfoBuffer[i] = uint8_t(i * 7 + i / 512);
        for (size_t i = 0; i < 512; ++i) table_[i] = uint8_t(i ^ 0x5A);
        gWrites.clear();
        gSectors.clear();
        gReads = 0;
    }
    void TearDown() override { state() = saved_; }
    std::vector<uint32_t> addresses() const {
        std::vector<uint32_t> a;
        for (const auto &w : gWrites) a.push_back(w.address);
        return a;
    }
    std::vector<uint32_t> preparedBlocks() const {
        std::vector<uint32_t> b;
        for (const auto &w : gWrites)
            if (w.address == 0x40000000u) b.push_back(bo::getLE32(w.data.data() + 4));
        return b;
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

    // Prepare record: operation 0, 1, 0, the block's page, one block, zeros.
    std::array<uint8_t, 512> prep{};
    prep[1] = 1;
    prep[4] = 8;
    prep[8] = 1;
    EXPECT_TRUE(std::equal(prep.begin(), prep.end(), gWrites[0].data.begin()));

    // Each copy's table sector names its own page and is sealed; the rest is the caller's.
    for (auto [index, page] : {std::pair{1, 8u}, std::pair{11, 40u}}) {
        const auto &t = gWrites[size_t(index)].data;
        EXPECT_EQ(bo::getLE16(t.data() + 228), page);
        uint32_t x = 0;
        for (size_t o = 0; o < 512; o += 4) x ^= bo::getLE32(t.data() + o);
        EXPECT_EQ(x, 0u);
        for (size_t i = 8; i < 512; ++i)
            if (i != 228 && i != 229) {
                ASSERT_EQ(t[i], table_[i]) << i;
            }
    }
    EXPECT_EQ(table_[228], uint8_t(228 ^ 0x5A)); // the caller's table is not written to
    // The information sectors carry the sealed buffer.
    EXPECT_EQ(bo::getLE32(state().InfoBuffer.data() + 4088), 0xA5A5A5A5u);
    for (uint32_t i = 0; i < 8; ++i)
        EXPECT_EQ(std::memcmp(gWrites[2 + i].data.data(), state().InfoBuffer.data() + i * 512, 512), 0);
}

TEST_F(InfoBlocks, SlotIsTheSectorInPageAndThree) {
    state().PageSectors = 8;
    state().InfoSectors = 16;
    state().BackupInfoBlock = 8; // a second scan's "backup" is the primary: written once
    ASSERT_EQ(WriteInfoBlocks(table_), 1);
    ASSERT_EQ(gWrites.size(), 2u + 16u);
    // Sixteen sectors in two pages of eight: sectors 4..7 reuse the slots of 0..3.
    for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(gWrites[2 + i].address, infoAt(i % 4, 9 + i / 8)) << i;
    EXPECT_EQ(bo::getLE32(state().InfoBuffer.data() + 4096 + 4088), 0xA5A5A5A5u);
    EXPECT_EQ(bo::getLE32(gWrites[0].data.data() + 8), 1u); // three pages: one block

    // Sixteen sectors of four a page after the table page run into a second
    // four-page block; the prepare still names one block, as the device expects.
    gWrites.clear();
    state().PageSectors = 4;
    ASSERT_EQ(WriteInfoBlocks(table_), 1);
    EXPECT_EQ(bo::getLE32(gWrites[0].data.data() + 4), 8u);
    EXPECT_EQ(bo::getLE32(gWrites[0].data.data() + 8), 1u);
    EXPECT_EQ(gWrites.back().address, infoAt(3, 12));
}

TEST_F(InfoBlocks, InterleavedPreparesAndWholePages) {
    LibraryState &st = state();
    st.InterleavedInfo = true;
    st.BackupInfoBlock = -1;
    // Interleave 4, unit 4: g = (8 + 4) / 4 = 3 is below 4, so 3 blocks from 8 / 4 = 2:
    // 2*4 - 2*3, 3*4 - 3*3, 4*4 - 0*3.
    ASSERT_EQ(WriteInfoBlocks(table_), 1);
    EXPECT_EQ(preparedBlocks(), (std::vector<uint32_t>{2, 3, 16}));
    std::vector<uint32_t> expected = {kPrepare, kPrepare, kPrepare, tableAt(8)};
    for (uint32_t p = 0; p < 2; ++p)
        for (uint32_t k = 0; k < 4; ++k) expected.push_back(infoAt(k, 9 + p));
    EXPECT_EQ(addresses(), expected);

    // Interleave 2, unit 2, 16 sectors, at 40: g = 5, 2 + (5 / 4) mod 4 = 3 blocks from 20.
    gWrites.clear();
    st.Interleave = 2;
    st.BlockUnit = 2;
    st.InfoSectors = 16;
    st.PrimaryInfoBlock = 40;
    ASSERT_EQ(WriteInfoBlocks(table_), 1);
    EXPECT_EQ(preparedBlocks(), (std::vector<uint32_t>{40, 41, 44}));
    EXPECT_EQ(gWrites.size(), 3u + 1u + 16u);

    // A partial last page is not written in this form.
    gWrites.clear();
    st.InfoSectors = 10;
    st.PageSectors = 4;
    ASSERT_EQ(WriteInfoBlocks(table_), 1);
    EXPECT_EQ(gWrites.back().address, infoAt(3, 42));
}

TEST_F(InfoBlocks, RefusalsSendNothing) {
    LibraryState &st = state();
    st.PageSectors = 0;
    EXPECT_EQ(WriteInfoBlocks(table_), 0);
    EXPECT_EQ(st.LastError, QUENDAL_ERR_ZERO_PAGE_SECTORS);
    st.StoredDigest = loginDigest("pw");
    st.ControllerKind = kVersionTable;
    st.LastError = 0;
    EXPECT_EQ(ChangePassword("pw", "new"), 0);
    EXPECT_EQ(st.LastError, QUENDAL_ERR_ZERO_PAGE_SECTORS);

    st.PageSectors = 4;
    st.InterleavedInfo = true;
    st.Interleave = 0;
    st.LastError = 0;
    EXPECT_EQ(WriteInfoBlocks(table_), 0);
    st.Interleave = 2;
    st.BlockUnit = 0;
    EXPECT_EQ(WriteInfoBlocks(table_), 0);
    EXPECT_EQ(st.LastError, 0);

    st.PrimaryInfoBlock = -1;
    EXPECT_EQ(WriteInfoBlocks(table_), 0);
    EXPECT_EQ(st.LastError, QUENDAL_ERR_NO_PRIMARY_BLOCK);

    // The maker's table keeps its password; without a table kind the code is 4.
    st.PrimaryInfoBlock = 8;
    st.ControllerKind = kMakerTable;
    st.LastError = 0;
    EXPECT_EQ(ChangePassword("pw", "new"), 0);
    EXPECT_EQ(st.LastError, 0);
    st.ControllerKind = kControllerNone;
    EXPECT_EQ(ChangePassword("pw", "new"), 0);
    EXPECT_EQ(st.LastError, QUENDAL_ERR_CONTROLLER_KIND);
    EXPECT_TRUE(gWrites.empty());
}

TEST_F(InfoBlocks, CommitAndWholeDiskLayout) {
    ASSERT_EQ(CommitInformation(), 1);
    const std::array<uint8_t, 12> cdb = {0x2A, 0, 0x70, 0, 0, 0, 0, 0, 0x08, 0, 0, 0};
    EXPECT_EQ(gScsiCdb, cdb);
    ASSERT_EQ(gScsiData.size(), 4096u);
    EXPECT_EQ(std::memcmp(gScsiData.data(), state().InfoBuffer.data(), 4096), 0);

    state().DiskCapacity = 123456;
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
    gFailNext = true;
    EXPECT_EQ(SetWholeDiskLayout(t), 0);
    EXPECT_EQ(state().LastError, QUENDAL_ERR_WHOLE_DISK_TABLE);
}

// A device that reports no sectors per page cannot address its information
// sectors: the scan skips its tables instead of dividing by zero.
TEST_F(InfoBlocks, ScanWithZeroPageSizeFindsNothing) {
    std::array<uint8_t, 512> info{};
    bo::putLE16(info.data() + 10, 1); // 1 halved: 0 sectors per page
    gSectors[0x30000000u] = info;
    std::array<uint8_t, 512> t{};
    bo::putLE32(t.data(), 0x5A5A5A5Au);
    std::memcpy(t.data() + 204, "2.00", 4);
    t[26] = 8;
    t[272] = 0x10; // whole pages only: 8 / 0 pages
    SealConfigTable(t.data());
    gSectors[0x10000008u] = t;
    std::array<uint8_t, 512> m{};
    bo::putLE32(m.data(), 0x5A5A5A5Au);
    std::memcpy(m.data() + 503, "Morvantek", 9);
    m[16] = 2;
    gSectors[0x10000010u] = m;

    state().PrimaryInfoBlock = state().BackupInfoBlock = -1;
    std::array<uint8_t, 512> out{};
    EXPECT_EQ(GetConfigTable(out.data()), 0);
    EXPECT_EQ(state().LastError, QUENDAL_ERR_NO_TABLE);
    EXPECT_EQ(gReads, 1u + 1024u);
}

} // namespace
