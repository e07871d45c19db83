// Library loading by bare name: where the name is looked for, binding by name,
// unloading, and finding a library that is already in the process.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/DynamicLibrary.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

struct ScratchDir {
    fs::path path;
    ScratchDir() {
        std::string tmpl = (fs::temp_directory_path() / "platform-dl-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
        path = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

void writeText(const fs::path &file, const std::string &text) {
    std::ofstream(file) << text;
}

// Path of a loaded system library, found through one of its symbols.
std::string pathOfLibraryWith(void *symbol) {
    Dl_info info{};
    if (!symbol || !dladdr(symbol, &info) || !info.dli_fname) return {};
    return fs::canonical(info.dli_fname).string();
}

constexpr const char kChildEnv[] = "PLATFORM_DL_CHILD";

} // namespace

TEST(DynamicLibrary, LookupPathPrefersAFileInTheProgramDirectory) {
    ScratchDir dir;
    std::string programDir = dir.path.string();
    writeText(dir.path / "SCSI.dll", "x");
    fs::create_directory(dir.path / "Folder.dll");

    EXPECT_EQ(platform::libraryLookupPath("SCSI.dll", programDir), programDir + "/SCSI.dll");
    EXPECT_EQ(platform::libraryLookupPath("SCSI.dll", programDir + "/"), programDir + "/SCSI.dll");
    // Not beside the program: the loader's normal search gets the bare name.
    EXPECT_EQ(platform::libraryLookupPath("Other.dll", programDir), "Other.dll");
    // A directory of that name is not a library.
    EXPECT_EQ(platform::libraryLookupPath("Folder.dll", programDir), "Folder.dll");
    // A name with a directory part is never redirected.
    EXPECT_EQ(platform::libraryLookupPath("./SCSI.dll", programDir), "./SCSI.dll");
    EXPECT_EQ(platform::libraryLookupPath("SCSI.dll", ""), "SCSI.dll");
}

TEST(DynamicLibrary, LoadsBindsAndUnloadsBySystemSearch) {
    platform::LibraryHandle m = platform::loadLibrary("libm.so.6");
    ASSERT_NE(m, nullptr) << platform::lastLibraryError();
    auto cosine = reinterpret_cast<double (*)(double)>(platform::bindSymbol(m, "cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(platform::bindSymbol(m, "NoSuchExportAnywhere"), nullptr);
    // Exported by the C library that libm depends on, not by libm.
    ASSERT_NE(dlsym(m, "malloc"), nullptr);
    EXPECT_EQ(platform::bindSymbol(m, "malloc"), nullptr);
    EXPECT_EQ(platform::bindSymbol(nullptr, "cos"), nullptr);
    EXPECT_EQ(platform::bindSymbol(m, nullptr), nullptr);
    EXPECT_NE(platform::unloadLibrary(m), 0);
    EXPECT_EQ(platform::unloadLibrary(nullptr), 0);
}

TEST(DynamicLibrary, RefusesWhatIsNotALibrary) {
    ScratchDir dir;
    writeText(dir.path / "NotALibrary.dll", "this is text, not an ELF object\n");
    EXPECT_EQ(platform::loadLibrary((dir.path / "NotALibrary.dll").string()), nullptr);
    EXPECT_FALSE(platform::lastLibraryError().empty());
    EXPECT_EQ(platform::loadLibrary("NoSuchLibrary-quendal.dll"), nullptr);
    EXPECT_EQ(platform::loadLibrary(""), nullptr);
}

TEST(DynamicLibrary, FindsOnlyLibrariesAlreadyLoaded) {
    EXPECT_EQ(platform::findLoadedSymbol("libquendal-never-loaded.so", "x"), nullptr);
    // Asking must not load it either.
    EXPECT_EQ(dlopen("libquendal-never-loaded.so", RTLD_NOW | RTLD_NOLOAD), nullptr);

    platform::LibraryHandle m = platform::loadLibrary("libm.so.6");
    ASSERT_NE(m, nullptr);
    void *bound = platform::bindSymbol(m, "sin");
    EXPECT_EQ(platform::findLoadedSymbol("libm.so.6", "sin"), bound);
    EXPECT_EQ(platform::findLoadedSymbol("libm.so.6", "NoSuchExportAnywhere"), nullptr);
    EXPECT_EQ(platform::findLoadedSymbol("libm.so.6", "malloc"), nullptr);
    // The look-up keeps no reference: one unload balances the one load.
    void *again = dlopen("libm.so.6", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(again, nullptr);
    dlclose(again);
    EXPECT_NE(platform::unloadLibrary(m), 0);
}

// Runs in a copy of this test program placed in a scratch folder (see below):
// there, bare names resolve against that folder before the system search.
TEST(DynamicLibrary, ProgramDirectoryFirstChild) {
    if (!std::getenv(kChildEnv)) GTEST_SKIP() << "runs only inside ProgramDirectoryFirst";
    std::string dir = platform::programDirectory();
    ASSERT_EQ(dir, std::getenv(kChildEnv));

    // Only beside the program, under a name the system search cannot know.
    platform::LibraryHandle probe = platform::loadLibrary("probe.dll");
    ASSERT_NE(probe, nullptr) << platform::lastLibraryError();
    EXPECT_NE(platform::bindSymbol(probe, "cos"), nullptr);
    EXPECT_NE(platform::unloadLibrary(probe), 0);

    // A non-library beside the program hides the system's library of that name.
    EXPECT_EQ(platform::loadLibrary("libm.so.6"), nullptr);
}

TEST(DynamicLibrary, ProgramDirectoryFirst) {
    if (std::getenv(kChildEnv)) GTEST_SKIP() << "parent only";
    ScratchDir dir;
    std::string libm = pathOfLibraryWith(dlsym(RTLD_DEFAULT, "cos"));
    ASSERT_FALSE(libm.empty());
    fs::copy_file(libm, dir.path / "probe.dll");
    writeText(dir.path / "libm.so.6", "not a library\n");
    fs::copy_file(platform::executablePath(), dir.path / "host");

    std::string command = std::string(kChildEnv) + "='" + dir.path.string() + "' '" +
                          (dir.path / "host").string() +
                          "' --gtest_filter=DynamicLibrary.ProgramDirectoryFirstChild > '" +
                          (dir.path / "out.txt").string() + "' 2>&1";
    int status = std::system(command.c_str());
    std::ifstream out(dir.path / "out.txt");
    std::string text((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
    ASSERT_TRUE(WIFEXITED(status)) << text;
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    EXPECT_NE(text.find("[  PASSED  ] 1 test"), std::string::npos) << text;
}
