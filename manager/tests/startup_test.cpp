// Start-up of the main window from a folder of its own holding chosen
// libraries: none, stand-ins that lack names, a library without its transport,
// a transport that lacks an operation, and the real pair.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "FlashEmulator.h"

namespace fs = std::filesystem;

namespace {

struct Folder {
    fs::path path;
    Folder() {
        std::string tmpl = (fs::temp_directory_path() / "orvane-start-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path = tmpl;
        fs::copy_file(PROBE_PATH, path / "probe");
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    void put(const char *file, const char *as) { fs::copy_file(file, path / as, fs::copy_options::overwrite_existing); }
    std::string freeCalls() const {
        std::ifstream in(path / "standin.log");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The probe's output; the emulated disk (when given) is its device.
    std::string run(const fs::path &disk = {}) const {
        std::string cmd = "cd '" + path.string() + "' && LC_ALL=fr_FR.UTF-8 QT_QPA_PLATFORM=offscreen STANDIN_LOG='" +
                          (path / "standin.log").string() + "' ";
        if (!disk.empty()) cmd += std::string(flashemu::kDiskEnv) + "='" + disk.string() + "' ";
        cmd += "./probe 2>/dev/null";
        std::string out;
        if (FILE *p = popen(cmd.c_str(), "r")) {
            char buf[512];
            while (fgets(buf, sizeof buf, p)) out += buf;
            if (int status = pclose(p); status != 0) out += "exit " + std::to_string(status) + "\n";
        }
        return out;
    }
};

// The window says what the message said, not "Detecting..." over a half-full gauge.
const std::string kNoLibrary = "message Message: Can't load Quendal.dll\n"
                               "available 0, capacity Can't load Quendal.dll, buttons 000, gauge 0\nclosed\n";

} // namespace

TEST(StartUp, LibraryMissingOrLackingNamesIsReportedAndNothingStarts) {
    {
        Folder f; // nothing beside the program
        EXPECT_EQ(f.run(), kNoLibrary);
        EXPECT_EQ(f.freeCalls(), "");
    }
    {
        Folder f; // no InitFlashDisk: not bound, so not released either
        f.put(STANDIN_NOINIT, "Quendal.dll");
        EXPECT_EQ(f.run(), kNoLibrary);
        EXPECT_EQ(f.freeCalls(), "");
    }
    {
        Folder f; // bound, but lacking names the manager calls: unusable, released at close
        f.put(STANDIN_PARTIAL, "Quendal.dll");
        EXPECT_EQ(f.run(), kNoLibrary);
        EXPECT_EQ(f.freeCalls(), "FreeDiskLib\n");
    }
    {
        Folder f; // the library without its transport does not load at all
        f.put(QUENDAL_PATH, "Quendal.dll");
        EXPECT_EQ(f.run(), kNoLibrary);
    }
}

TEST(StartUp, TransportLackingAnOperationAndTheRealPair) {
#ifdef TRANSPORT_WITHOUT_READSCSI
    {
        Folder f;
        f.put(QUENDAL_PATH, "Quendal.dll");
        f.put(TRANSPORT_WITHOUT_READSCSI, "SCSI.dll");
        EXPECT_EQ(f.run(), "message Message: Can't load SCSI.dll\n"
                           "available 0, capacity Can't load SCSI.dll, buttons 000, gauge 0\nclosed\n");
    }
#endif
    Folder f;
    f.put(QUENDAL_PATH, "Quendal.dll");
    f.put(SCSI_PATH, "SCSI.dll");
    const fs::path disk = f.path / "disk";
    flashemu::DiskOptions o;
    o.sectors = 4096 * 100;
    std::string error;
    ASSERT_TRUE(flashemu::createDisk(disk.string(), o, &error)) << error;
    EXPECT_EQ(f.run(disk), "available 1, capacity 200MByte, buttons 100, gauge 0\nclosed\n");
}
