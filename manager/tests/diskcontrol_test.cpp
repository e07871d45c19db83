// Binding rules of TDiskControl, tried by placing a probe program beside
// different libraries: none, stand-ins that lack names, and the real library.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct Folder {
    fs::path path;
    Folder() {
        std::string tmpl = (fs::temp_directory_path() / "diskcontrol-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path = tmpl;
        fs::copy_file(PROBE_PATH, path / "probe");
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    void put(const fs::path &library, const char *as = "Quendal.dll") {
        fs::copy_file(library, path / as, fs::copy_options::overwrite_existing);
    }
    fs::path log() const { return path / "standin.log"; }
    std::string freeCalls() const {
        std::ifstream in(log());
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Runs the probe with the given operations; its standard output.
    std::string run(const std::string &ops) const {
        std::string cmd = "STANDIN_LOG='" + log().string() + "' '" + (path / "probe").string() +
                          "' " + ops + " 2>&1";
        std::string out;
        if (FILE *p = popen(cmd.c_str(), "r")) {
            char buf[512];
            while (fgets(buf, sizeof buf, p)) out += buf;
            int status = pclose(p);
            if (status != 0) out += "exit " + std::to_string(status) + "\n";
        }
        return out;
    }
};

} // namespace

TEST(BindLibrary, NoLibraryBesideTheProgramFailsAndUnbindCallsNothing) {
    Folder f;
    EXPECT_EQ(f.run("bind state unbind state bind"),
              "bind 0\nstate module=0 loaded=0 bound=0\nunbind\n"
              "state module=0 loaded=0 bound=0\nbind 0\n");
    EXPECT_EQ(f.freeCalls(), "");
}

TEST(BindLibrary, LibraryWithoutInitFlashDiskStaysLoadedButUnbound) {
    Folder f;
    f.put(STANDIN_NOINIT);
    // Bound names stay recorded, yet the object is unusable and a release must
    // neither free the library's transport nor unload it.
    EXPECT_EQ(f.run("bind state missing:LoadDiskLib unbind state bind"),
              "bind 0\nstate module=1 loaded=0 bound=3\nmissing LoadDiskLib\nunbind\n"
              "state module=1 loaded=0 bound=3\nbind 0\n");
    EXPECT_EQ(f.freeCalls(), "");
}

TEST(BindLibrary, SecondBindIsRefusedAndChangesNothing) {
    Folder f;
    f.put(STANDIN_MINIMAL);
    EXPECT_EQ(f.run("bind state bind state"),
              "bind 1\nstate module=1 loaded=1 bound=2\nbind 0\nstate module=1 loaded=1 bound=2\n");
}

TEST(UnbindLibrary, FreesOnlyWhileLoadedAndNeverBindsAgain) {
    Folder f;
    f.put(STANDIN_MINIMAL);
    EXPECT_EQ(f.run("bind unbind state unbind bind state"),
              "bind 1\nunbind\nstate module=1 loaded=0 bound=2\nunbind\nbind 0\n"
              "state module=1 loaded=0 bound=2\n");
    EXPECT_EQ(f.freeCalls(), "FreeDiskLib\n");
}

TEST(UnbindLibrary, DestructionReleasesABoundLibrary) {
    Folder f;
    f.put(STANDIN_MINIMAL);
    EXPECT_EQ(f.run("bind"), "bind 1\n");
    EXPECT_EQ(f.freeCalls(), "FreeDiskLib\n");
}

TEST(UnbindLibrary, LibraryWithoutFreeDiskLibIsReleasedWithoutACall) {
    Folder f;
    f.put(STANDIN_NOFREE);
    EXPECT_EQ(f.run("bind state unbind state"),
              "bind 1\nstate module=1 loaded=1 bound=1\nunbind\nstate module=1 loaded=0 bound=1\n");
}

TEST(MissingName, NamesTheFirstAbsentExportTheCallerNeeds) {
    Folder f;
    f.put(STANDIN_PARTIAL);
    EXPECT_EQ(f.run("missing:InitFlashDisk bind missing:InitFlashDisk,LoadDiskLib,LoginState "
                    "missing:LoginState,FormatDisk,HaveCfgTbl missing:HaveCfgTbl,VerifyPassword"),
              "missing InitFlashDisk\nbind 1\nmissing -\nmissing FormatDisk\nmissing HaveCfgTbl\n");
}

TEST(RealLibrary, BindsAllNames) {
    fs::path real = fs::path(PROBE_PATH).parent_path() / "Quendal.dll";
    if (!fs::exists(real)) GTEST_SKIP() << "Quendal.dll is not built";
    Folder f;
    f.put(real);
    f.put(real.parent_path() / "SCSI.dll", "SCSI.dll");
    EXPECT_EQ(f.run("bind state missing:FormatDisk,GetSecureDiskVolume,IsLocalDisk unbind"),
              "bind 1\nstate module=1 loaded=1 bound=27\nmissing -\nunbind\n");
}
