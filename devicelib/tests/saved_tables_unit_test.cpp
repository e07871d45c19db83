// The saved-table file and the user's store of them: a file reads back as it
// was written and a damaged one is refused; the store is the user's alone,
// keeps the last ten of each disk, and tells where a lost copy lived.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "QuendalLib.h"
#include "TableStore.h"
#include "TestProcess.h"

namespace {

using namespace tables;

SavedTable sample(uint32_t capacity, uint32_t page0, uint32_t page1, bool second = true) {
    SavedTable t;
    t.savedAt = 1700000000;
    t.reason = "before a format";
    t.capacity = capacity;
    t.controllerKind = 2;
    t.pageSectors = 4;
    t.blockUnit = 4;
    t.infoSectors = 8;
    t.identity[40] = 'F';
    for (size_t i = 0; i < 2; ++i) {
        SavedCopy &c = t.copies[i];
        c.page = i == 0 ? page0 : page1;
        c.present = i == 0 || second;
        if (!c.present) continue;
        for (size_t b = 0; b < kSector; ++b) c.table[b] = uint8_t(b * 3 + i);
        c.info.resize(8 * kSector);
        for (size_t b = 0; b < c.info.size(); ++b) c.info[b] = uint8_t(b / 7 + i);
    }
    return t;
}

TEST(SavedTableFile, ReadsBackAsWrittenAndADamagedFileIsRefused) {
    const SavedTable t = sample(40000, 8, 40);
    const std::string bytes = encode(t);
    SavedTable back;
    std::string error;
    ASSERT_TRUE(decode(bytes, &back, &error)) << error;
    EXPECT_EQ(back.savedAt, t.savedAt);
    EXPECT_EQ(back.reason, "before a format");
    EXPECT_EQ(back.capacity, 40000u);
    EXPECT_EQ(back.identity, t.identity);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(back.copies[i].page, t.copies[i].page);
        EXPECT_EQ(back.copies[i].table, t.copies[i].table);
        EXPECT_EQ(back.copies[i].info, t.copies[i].info);
    }

    std::string damaged = bytes;
    damaged[damaged.size() - 100] ^= 1; // an information byte of the second copy
    EXPECT_FALSE(decode(damaged, &back, &error));
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    EXPECT_FALSE(decode(bytes.substr(0, bytes.size() - 512), &back, &error));
    EXPECT_FALSE(decode(std::string(2048, 'x'), &back, &error));
}

TEST(TableStore, IsTheUsersAloneAndKeepsTheLastTenOfEachDisk) {
    testsupport::TempDir home;
    testsupport::ScopedEnv xdg("XDG_DATA_HOME", home.str());
    testsupport::ScopedEnv local("LOCALAPPDATA", home.str());
    const SavedTable a = sample(40000, 8, 40), b = sample(30000, 8, 40);
    const std::string keyA = diskKey(a), keyB = diskKey(b);
    ASSERT_NE(keyA, keyB);

    std::string path, error, firstOfB;
    ASSERT_TRUE(saveToStore(b, &firstOfB, &error)) << error;
    for (int i = 0; i < 12; ++i) {
        SavedTable t = a;
        t.reason = "change " + std::to_string(i);
        ASSERT_TRUE(saveToStore(t, &path, &error)) << error;
    }
    const std::vector<std::string> files = storedFiles(keyA);
    ASSERT_EQ(files.size(), kKeptPerDisk);
    SavedTable newest;
    ASSERT_TRUE(readSavedTable(files.front(), &newest, &error)) << error;
    EXPECT_EQ(newest.reason, "change 11");
    EXPECT_EQ(storedFiles(keyB), std::vector<std::string>{firstOfB});
#ifndef _WIN32
    struct stat st {};
    ASSERT_EQ(::stat((home.path / "quendal" / "tables").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A tables folder that others may enter is not used.
    ::chmod((home.path / "quendal" / "tables").c_str(), 0755);
    EXPECT_EQ(storeFolder(&error), "");
    EXPECT_NE(error.find("0700"), std::string::npos) << error;
    ::chmod((home.path / "quendal" / "tables").c_str(), 0700);
#endif
}

TEST(TableStore, TellsWhereTheLostCopyOfADiskLived) {
    testsupport::TempDir home;
    testsupport::ScopedEnv xdg("XDG_DATA_HOME", home.str());
    testsupport::ScopedEnv local("LOCALAPPDATA", home.str());
    const SavedTable both = sample(40000, 8, 40);
    const std::string key = diskKey(both);
    EXPECT_EQ(partnerPage(key, 40), kNoPage);
    std::string path, error;
    ASSERT_TRUE(saveToStore(both, &path, &error)) << error;
    // A newer save of the one copy left, without knowing the other's place,
    // does not hide what the older one knows.
    ASSERT_TRUE(saveToStore(sample(40000, 40, kNoPage, false), &path, &error)) << error;
    EXPECT_EQ(partnerPage(key, 40), 8u);
    EXPECT_EQ(partnerPage(key, 8), 40u);
    EXPECT_EQ(partnerPage(key, 72), kNoPage);
    EXPECT_EQ(partnerPage(diskKey(sample(30000, 8, 40)), 40), kNoPage) << "another disk's tables tell nothing";
}

} // namespace
