// Loading and releasing the transport, the error-code register, and what every
// export does before the transport is loaded and after it is released. Each case
// runs the probe host in a folder of its own beside a stand-in transport.
#include <gtest/gtest.h>

#include "fakes/ProbeRig.h"

using probe::Rig;
using probe::values;
using Lines = std::vector<std::string>;

namespace {

constexpr const char *kRequiredOps[] = {"InitDisk", "ReadDisk", "WriteDisk", "WriteScsi", "ReadScsi"};

} // namespace

TEST(TransportLoading, LoadsOncePreparesTheTransportAndReleasesIt) {
    Rig rig("full");
    auto run = rig.run({"Mark:load", "LoadDiskLib", "Mark:again", "LoadDiskLib", "GetErrorCode", "Mark:free",
                        "FreeDiskLib", "FreeDiskLib", "Mark:reload", "LoadDiskLib", "FreeDiskLib"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"1", "0", "0", "1", "0", "1", "1"})) << run.output;
    // The transport is prepared once per load, with no parameter block.
    EXPECT_EQ(rig.logSection("load"), Lines{"InitDisk null"});
    EXPECT_EQ(rig.logSection("again"), Lines{});
    // Releasing lets the device go first; the second release has nothing to free.
    EXPECT_EQ(rig.logSection("free"), Lines{"DiskFree"});
    EXPECT_EQ(rig.logSection("reload"), Lines({"InitDisk null", "DiskFree"}));
}

TEST(TransportLoading, LackingARequiredOperationFailsWithCode5UntilReleased) {
    for (const char *op : kRequiredOps) {
        SCOPED_TRACE(op);
        Rig rig(std::string("no_") + op);
        auto run =
            rig.run({"LoadDiskLib", "GetErrorCode", "LoadDiskLib", "GetErrorCode", "InitFlashDisk", "GetFlashDiskInfo",
                     "ResetDisk", "ReadFlashDisk:0:1", "WriteFlashDisk:0:1", "ReverseWriteStatusIfProtect",
                     "LoginState", "Mark:free", "FreeDiskLib", "LoadDiskLib", "GetErrorCode"});
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(run.results, values({"0", "5", "0", "5", "-1", "0", "0", "0", "0", "0", "0", "1", "0", "5"}))
            << run.output;
        // Half-bound, nothing reaches the device; only releasing frees it.
        EXPECT_EQ(rig.log(), Lines({"-- free", "DiskFree"}));
    }
}

TEST(TransportLoading, OptionalOperationsMayBeMissing) {
    Rig withoutFree("no_DiskFree");
    auto run = withoutFree.run({"LoadDiskLib", "FreeFlashDisk", "DiskRemove", "FreeDiskLib"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"1", "0", "1", "1"})) << run.output;

    Rig full("full");
    run = full.run({"LoadDiskLib", "FreeFlashDisk", "FreeDiskLib"});
    EXPECT_EQ(run.results, values({"1", "7", "1"})) << run.output;

#ifdef _WIN32
    // The library imports GetOsVersion from the SCSI.dll it is linked with: a
    // transport without it is one the Windows loader does not bind the library
    // to. The operations the library binds by name may still be missing.
    Rig minimal("no_unbound");
    run = minimal.run({"GetOsVersion", "LoadDiskLib", "FreeFlashDisk", "GetOsVersion", "FreeDiskLib"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"1541", "1", "0", "1541", "1"})) << run.output;
#else
    Rig minimal("no_optional");
    run = minimal.run({"GetOsVersion", "LoadDiskLib", "FreeFlashDisk", "GetOsVersion", "FreeDiskLib"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"0", "1", "0", "0", "1"})) << run.output;
#endif
}

TEST(TransportLoading, AFileThatIsNotALibraryFailsWithCode6) {
    // The library comes from a folder with a working transport (it cannot load
    // without one); beside the host lies a SCSI.dll that is not a library, and a
    // file beside the program is what a bare name finds first.
    Rig library("full");
    Rig host("junk");
    auto run = host.run({"LoadDiskLib", "GetErrorCode", "InitFlashDisk", "LoadDiskLib", "GetErrorCode", "FreeDiskLib"},
                        library.folder());
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"0", "6", "-1", "0", "6", "0"})) << run.output;
    EXPECT_EQ(library.log(), Lines{});
}

TEST(TransportLoading, WithoutATransportBesideTheProgramTheLinkedOneServes) {
    Rig library("full");
    Rig host("");
    host.setEnv("FAKE_SCSI_LOG", library.logPath());
    auto run = host.run({"LoadDiskLib", "GetErrorCode", "FreeDiskLib"}, library.folder());
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"1", "0", "1"})) << run.output;
    EXPECT_EQ(library.log(), Lines({"InitDisk null", "DiskFree"}));
}

TEST(TransportLoading, WithoutTheTransportTheLibraryItselfDoesNotLoad) {
    Rig host("");
    auto run = host.run({"LoadDiskLib"});
    EXPECT_EQ(run.exitCode, 3) << run.output;
#ifdef _WIN32
    // The Windows loader names no module, only the code: ERROR_MOD_NOT_FOUND.
    EXPECT_NE(run.output.find("126"), std::string::npos) << run.output;
#else
    EXPECT_NE(run.output.find("SCSI.dll"), std::string::npos) << run.output;
#endif
}

TEST(Unloaded, EveryDeviceExportFailsAndCallsNothing) {
    const std::vector<std::string> calls = {"InitFlashDisk",     "FreeFlashDisk",      "GetFlashDiskInfo",
                                            "ResetDisk",         "LoginState",         "ReverseWriteStatusIfProtect",
                                            "ReadFlashDisk:0:1", "WriteFlashDisk:0:1", "InitVariable",
                                            "DiskRemove",        "GetErrorCode",       "FreeDiskLib"};
    const auto expected = values({"-1", "0", "0", "0", "0", "0", "0", "0", "0", "1", "0", "0"});

    Rig before("full");
    auto run = before.run(calls);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, expected) << run.output;
    EXPECT_EQ(before.log(), Lines{});

    Rig after("full");
    std::vector<std::string> sequence = {"LoadDiskLib", "FreeDiskLib", "Mark:released"};
    sequence.insert(sequence.end(), calls.begin(), calls.end());
    run = after.run(sequence);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    ASSERT_EQ(run.results.size(), expected.size() + 2) << run.output;
    EXPECT_EQ(std::vector<std::string>(run.results.begin() + 2, run.results.end()), expected);
    EXPECT_EQ(after.logSection("released"), Lines{});
}

TEST(Unloaded, GetOsVersionIsTheLinkedTransportsAtAnyTime) {
    Rig rig("full");
    auto run = rig.run({"GetOsVersion", "LoadDiskLib", "GetOsVersion", "FreeDiskLib", "GetOsVersion"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"1541", "1", "1541", "1", "1541"})) << run.output;
    auto log = rig.log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "GetOsVersion"), 3);
}

TEST(OpeningTheDevice, InitFlashDiskHandsTheBlockOnAndItsAnswerBack) {
    Rig rig("full");
    rig.setEnv("FAKE_SCSI_INIT", "-1");
    auto run = rig.run({"LoadDiskLib", "Mark:open", "InitFlashDisk", "InitFlashDiskNull"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"1", "-1", "-1"})) << run.output;
    EXPECT_EQ(rig.logSection("open"), Lines({"InitDisk params", "InitDisk null"}));
}

TEST(OpeningTheDevice, RefusedRawAccessSwitchesToFileLoginForGood) {
    // The configuration table is refused (code 15) once InitDisk answered 2, also
    // after the transport was released and loaded again.
    Rig rig("full");
    rig.setEnv("FAKE_SCSI_INIT", "2");
    auto run = rig.run({"InitFlashDisk", "LoadDiskLib", "GetConfigTable", "GetErrorCode", "InitFlashDisk",
                        "Mark:refused", "GetConfigTable", "GetErrorCode", "Mark:reload", "FreeDiskLib", "LoadDiskLib",
                        "GetConfigTable", "GetErrorCode"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    // Before LoadDiskLib the answer is -1 and file-login mode stays off, so the
    // first scan runs and finds no table (8).
    EXPECT_EQ(run.results, values({"-1", "1", "0", "8", "2", "0", "15", "1", "1", "0", "15"})) << run.output;
    // A refused read sends nothing.
    EXPECT_EQ(rig.logSection("refused"), Lines{});
}

TEST(ErrorCodes, AreNeverClearedByALaterSuccess) {
    Rig rig("full");
    rig.setEnv("FAKE_SCSI_FAIL_READS", "30000000");
    auto run = rig.run({"GetErrorCode", "LoadDiskLib", "GetFlashDiskInfo", "GetErrorCode", "ResetDisk", "InitVariable",
                        "DiskRemove", "FreeDiskLib", "LoadDiskLib", "GetErrorCode"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"0", "1", "0", "9", "1", "0", "1", "1", "1", "9"})) << run.output;
}

TEST(ErrorCodes, NoTableFoundStaysAfterALaterSuccess) {
    Rig rig("full");
    auto run =
        rig.run({"LoadDiskLib", "GetConfigTable", "GetErrorCode", "GetFlashDiskInfo", "HaveCfgTbl", "GetErrorCode"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"1", "0", "8", "1", "0", "8"})) << run.output;
}
