// Binding rules of TDiskControl, tried by placing a probe program beside
// different libraries: none, stand-ins that lack names, and the real library.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "TestProcess.h"

namespace fs = std::filesystem;

namespace {

// The build's output folder, where this test, the probe and the real library lie.
fs::path outputDir() { return testsupport::programDirectory(); }

fs::path standin(const char *variant) { return outputDir() / ".." / "standins" / variant / "Quendal.dll"; }

struct Folder {
    testsupport::ScratchDir scratch{"diskcontrol"};
    fs::path path = scratch.path();
    fs::path probe = path / (std::string("probe") + testsupport::kExeSuffix);
    Folder() { fs::copy_file(outputDir() / (std::string("diskcontrol_probe") + testsupport::kExeSuffix), probe); }
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
    // Runs the probe in its folder with the given operations; its output.
    // (Windows' normal search also looks in the current folder; the build's
    // output folder, which holds the real library, must not be that.)
    std::string run(const std::string &ops) const {
        std::vector<std::string> args;
        std::istringstream words(ops);
        for (std::string w; words >> w;) args.push_back(w);
        testsupport::ProcessOptions o;
        o.env = {{"STANDIN_LOG", log().string()}};
        o.workingDirectory = path.string();
        testsupport::ProcessResult r = testsupport::runProcess(probe.string(), args, o);
        std::string out = r.output;
        if (!r.started || r.crashed || r.timedOut || r.exitCode != 0)
            out += "exit " + std::to_string(r.exitCode) + (r.crashed ? " crashed" : "") + "\n";
        return out;
    }
};

} // namespace

TEST(BindLibrary, NoLibraryBesideTheProgramFailsAndUnbindCallsNothing) {
    Folder f;
    EXPECT_EQ(f.run("bind state unbind state bind"), "bind 0\nstate module=0 loaded=0 bound=0\nunbind\n"
                                                     "state module=0 loaded=0 bound=0\nbind 0\n");
    EXPECT_EQ(f.freeCalls(), "");
}

TEST(BindLibrary, LibraryWithoutInitFlashDiskStaysLoadedButUnbound) {
    Folder f;
    f.put(standin("noinit"));
    // Bound names stay recorded, yet the object is unusable and a release must
    // neither free the library's transport nor unload it.
    EXPECT_EQ(f.run("bind state missing:LoadDiskLib unbind state bind"),
              "bind 0\nstate module=1 loaded=0 bound=3\nmissing LoadDiskLib\nunbind\n"
              "state module=1 loaded=0 bound=3\nbind 0\n");
    EXPECT_EQ(f.freeCalls(), "");
}

TEST(BindLibrary, SecondBindIsRefusedAndChangesNothing) {
    Folder f;
    f.put(standin("minimal"));
    EXPECT_EQ(f.run("bind state bind state"),
              "bind 1\nstate module=1 loaded=1 bound=2\nbind 0\nstate module=1 loaded=1 bound=2\n");
}

TEST(UnbindLibrary, FreesOnlyWhileLoadedAndNeverBindsAgain) {
    Folder f;
    f.put(standin("minimal"));
    EXPECT_EQ(f.run("bind unbind state unbind bind state"),
              "bind 1\nunbind\nstate module=1 loaded=0 bound=2\nunbind\nbind 0\n"
              "state module=1 loaded=0 bound=2\n");
    EXPECT_EQ(f.freeCalls(), "FreeDiskLib\n");
}

TEST(UnbindLibrary, DestructionReleasesABoundLibrary) {
    Folder f;
    f.put(standin("minimal"));
    EXPECT_EQ(f.run("bind"), "bind 1\n");
    EXPECT_EQ(f.freeCalls(), "FreeDiskLib\n");
}

TEST(UnbindLibrary, LibraryWithoutFreeDiskLibIsReleasedWithoutACall) {
    Folder f;
    f.put(standin("nofree"));
    EXPECT_EQ(f.run("bind state unbind state"),
              "bind 1\nstate module=1 loaded=1 bound=1\nunbind\nstate module=1 loaded=0 bound=1\n");
}

TEST(MissingName, NamesTheFirstAbsentExportTheCallerNeeds) {
    Folder f;
    f.put(standin("partial"));
    EXPECT_EQ(f.run("missing:InitFlashDisk bind missing:InitFlashDisk,LoadDiskLib,LoginState "
                    "missing:LoginState,FormatDisk,HaveCfgTbl missing:HaveCfgTbl,VerifyPassword"),
              "missing InitFlashDisk\nbind 1\nmissing -\nmissing FormatDisk\nmissing HaveCfgTbl\n");
}

TEST(RealLibrary, BindsAllNames) {
    fs::path real = outputDir() / "Quendal.dll";
    if (!fs::exists(real)) GTEST_SKIP() << "Quendal.dll is not built";
    Folder f;
    f.put(real);
    f.put(real.parent_path() / "SCSI.dll", "SCSI.dll");
    EXPECT_EQ(f.run("bind state missing:FormatDisk,GetSecureDiskVolume,IsLocalDisk unbind"),
              "bind 1\nstate module=1 loaded=1 bound=27\nmissing -\nunbind\n");
}
