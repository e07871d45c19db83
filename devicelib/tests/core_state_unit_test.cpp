// The library's state record as the single-command exports leave it, with the
// transport's operations replaced by functions of this test, and the command
// block builder.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>

#include "Internal.h"
#include "TestProcess.h"
#include "LibraryState.h"
#include "platform/Paths.h"

namespace {

using quendal::state;

// What the test's ReadDisk answers.
bool gReadSucceeds = true;
uint8_t gFill = 0;
int gReads = 0;

int32_t testReadDisk(uint32_t, uint32_t count, void *buffer) {
    ++gReads;
    if (!gReadSucceeds) return 0;
    std::memset(buffer, gFill, size_t(count) * 512);
    return 1;
}
int32_t testWriteDisk(uint32_t, uint32_t, const void *) { return 1; }
int32_t testScsi(const uint8_t *, const void *, uint32_t) { return 1; }
int32_t testReadScsi(const uint8_t *, void *, uint32_t) { return 1; }
int32_t testInitDisk(void *) { return 0; }

class CoreState : public ::testing::Test {
protected:
    void SetUp() override {
        state() = quendal::LibraryState{};
        gReadSucceeds = true;
        gFill = 0;
        gReads = 0;
    }
    void TearDown() override { state() = quendal::LibraryState{}; }

    static void bindTestTransport() {
        auto &s = state();
        s.ops.InitDisk = testInitDisk;
        s.ops.ReadDisk = testReadDisk;
        s.ops.WriteDisk = testWriteDisk;
        s.ops.WriteScsi = testScsi;
        s.ops.ReadScsi = testReadScsi;
        s.TransportReady = true;
    }
};

} // namespace

TEST(CommandBlock, BuildsReadAndWrite10BigEndian) {
    struct Case {
        uint8_t opcode;
        uint32_t lba;
        uint16_t blocks;
        std::array<uint8_t, 12> bytes;
    };
    const Case cases[] = {
        {0x28, 300, 2, {0x28, 0, 0x00, 0x00, 0x01, 0x2C, 0, 0x00, 0x02, 0, 0, 0}},
        {0x28, 0x50000000, 3, {0x28, 0, 0x50, 0x00, 0x00, 0x00, 0, 0x00, 0x03, 0, 0, 0}},
        {0x2A, 0x70000000, 8, {0x2A, 0, 0x70, 0x00, 0x00, 0x00, 0, 0x00, 0x08, 0, 0, 0}},
        {0x2A, 0x01020304, 0xABCD, {0x2A, 0, 0x01, 0x02, 0x03, 0x04, 0, 0xAB, 0xCD, 0, 0, 0}},
        {0x28, 0xFFFFFFFF, 0xFFFF, {0x28, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0, 0, 0}},
    };
    for (const Case &c : cases) EXPECT_EQ(quendal::makeRw10(c.opcode, c.lba, c.blocks), c.bytes);
}

TEST_F(CoreState, FailedInformationReadKeepsTheOldBlockButNotItsValidity) {
    bindTestTransport();
    std::array<uint8_t, 512> buffer{};
    gFill = 0x3C;
    ASSERT_EQ(GetFlashDiskInfo(buffer.data()), 1);
    EXPECT_TRUE(state().DeviceInfoValid);
    EXPECT_EQ(state().DeviceInfo[0], 0x3C);
    EXPECT_EQ(state().DeviceInfo[511], 0x3C);

    gReadSucceeds = false;
    EXPECT_EQ(GetFlashDiskInfo(buffer.data()), 0);
    EXPECT_FALSE(state().DeviceInfoValid);
    EXPECT_EQ(state().LastError, QUENDAL_ERR_DEVICE_INFO);
    EXPECT_EQ(state().DeviceInfo[0], 0x3C);

    // A null buffer is refused before the device is asked, and records nothing.
    gReadSucceeds = true;
    state().LastError = 0;
    state().DeviceInfoValid = true;
    int readsBefore = gReads;
    EXPECT_EQ(GetFlashDiskInfo(nullptr), 0);
    EXPECT_EQ(gReads, readsBefore);
    EXPECT_EQ(state().LastError, 0);
    EXPECT_TRUE(state().DeviceInfoValid);
}

TEST_F(CoreState, InitVariableAndDiskRemoveForgetOnlyTheDevice) {
    bindTestTransport();
    auto &s = state();
    auto fill = [&] {
        s.HaveTable = true;
        s.DeviceInfoValid = true;
        s.InterleavedInfo = true;
        s.PrimaryInfoBlock = 8;
        s.BackupInfoBlock = 40;
        s.DiskCapacity = 123456;
        s.ControllerKind = quendal::kVersionTable;
        s.LastError = 8;
        s.FileLoginMode = true;
        s.TableCopy[234] = 5;
        s.StoredDigest[0] = 0xEE;
        s.MissingInfoBlock = 72;
        s.ScannedCopyKnown = {true, true};
    };
    // Nothing the scan learnt about one disk outlives it.
    auto copiesForgotten = [&] {
        EXPECT_EQ(s.MissingInfoBlock, -1);
        EXPECT_FALSE(s.ScannedCopyKnown[0] || s.ScannedCopyKnown[1]);
    };
    auto keptAlways = [&] {
        EXPECT_EQ(s.ControllerKind, quendal::kVersionTable);
        EXPECT_EQ(s.LastError, 8);
        EXPECT_TRUE(s.FileLoginMode);
        EXPECT_EQ(s.TableCopy[234], 5);
        EXPECT_EQ(s.StoredDigest[0], 0xEE);
        EXPECT_TRUE(s.TransportReady);
    };

    fill();
    EXPECT_EQ(InitVariable(), 0);
    EXPECT_FALSE(s.HaveTable);
    EXPECT_FALSE(s.DeviceInfoValid);
    EXPECT_FALSE(s.InterleavedInfo);
    EXPECT_EQ(s.PrimaryInfoBlock, -1);
    EXPECT_EQ(s.BackupInfoBlock, -1);
    EXPECT_EQ(s.DiskCapacity, 123456);
    copiesForgotten();
    keptAlways();

    fill();
    EXPECT_EQ(DiskRemove(), 1);
    EXPECT_FALSE(s.HaveTable);
    EXPECT_FALSE(s.DeviceInfoValid);
    EXPECT_EQ(s.PrimaryInfoBlock, -1);
    EXPECT_EQ(s.BackupInfoBlock, -1);
    EXPECT_EQ(s.DiskCapacity, 0);
    EXPECT_TRUE(s.InterleavedInfo);
    copiesForgotten();
    keptAlways();
}

TEST(ProgramDirectory, BecomesTheCurrentDirectory) {
    std::string before = platform::currentDirectory();
    ASSERT_TRUE(platform::setCurrentDirectory("/"));
    quendal::EnterProgramDirectory();
    EXPECT_EQ(platform::currentDirectory(), platform::programDirectory());
    EXPECT_NE(platform::currentDirectory(), "/");
    platform::setCurrentDirectory(before);
}

TEST(ProgramDirectory, AFolderNamedForTheFormatInputsStandsInForIt) {
    std::string before = platform::currentDirectory();
    testsupport::ScratchDir inputs("format-inputs");
    {
        testsupport::ScopedEnv named(QUENDAL_FORMAT_INPUTS_ENV, inputs.str());
        quendal::EnterProgramDirectory();
        EXPECT_TRUE(std::filesystem::equivalent(platform::currentDirectory(), inputs.path()))
            << platform::currentDirectory();
    }
    // A folder that is not there leaves the program's own folder, not wherever
    // the host happened to be.
    ASSERT_TRUE(platform::setCurrentDirectory(inputs.str()));
    {
        testsupport::ScopedEnv named(QUENDAL_FORMAT_INPUTS_ENV, inputs / "missing");
        quendal::EnterProgramDirectory();
        EXPECT_EQ(platform::currentDirectory(), platform::programDirectory());
    }
    platform::setCurrentDirectory(before);
}
