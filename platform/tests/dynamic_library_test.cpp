// Library loading by bare name: where the name is looked for, binding by name,
// unloading, and finding a library that is already in the process.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "platform/DynamicLibrary.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

struct ScratchDir {
    fs::path path;
    ScratchDir() {
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
            fs::path candidate = fs::temp_directory_path() / ("platform-dl-" + std::to_string(random()));
            if (fs::create_directory(candidate)) path = candidate;
        }
        if (path.empty()) throw std::runtime_error("no scratch folder");
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

void writeText(const fs::path &file, const std::string &text) { std::ofstream(file) << text; }

#ifndef _WIN32
// Path of a loaded system library, found through one of its symbols.
std::string pathOfLibraryWith(void *symbol) {
    Dl_info info{};
    if (!symbol || !dladdr(symbol, &info) || !info.dli_fname) return {};
    return fs::canonical(info.dli_fname).string();
}
#endif

constexpr const char kChildEnv[] = "PLATFORM_DL_CHILD";

} // namespace

TEST(DynamicLibrary, LookupPathPrefersAFileInTheProgramDirectory) {
    ScratchDir dir;
    std::string programDir = dir.path.string();
    writeText(dir.path / "SCSI.dll", "x");
    fs::create_directory(dir.path / "Folder.dll");

#ifdef _WIN32
    const std::string sep = "\\";
    EXPECT_EQ(platform::libraryLookupPath("SCSI.dll", programDir + "\\"), programDir + "\\SCSI.dll");
    EXPECT_EQ(platform::libraryLookupPath(".\\SCSI.dll", programDir), ".\\SCSI.dll");
    EXPECT_EQ(platform::libraryLookupPath("C:SCSI.dll", programDir), "C:SCSI.dll");
#else
    const std::string sep = "/";
#endif
    EXPECT_EQ(platform::libraryLookupPath("SCSI.dll", programDir), programDir + sep + "SCSI.dll");
    EXPECT_EQ(platform::libraryLookupPath("SCSI.dll", programDir + "/"), programDir + "/SCSI.dll");
    // Not beside the program: the loader's normal search gets the bare name.
    EXPECT_EQ(platform::libraryLookupPath("Other.dll", programDir), "Other.dll");
    // A directory of that name is not a library.
    EXPECT_EQ(platform::libraryLookupPath("Folder.dll", programDir), "Folder.dll");
    // A name with a directory part is never redirected.
    EXPECT_EQ(platform::libraryLookupPath("./SCSI.dll", programDir), "./SCSI.dll");
    EXPECT_EQ(platform::libraryLookupPath("SCSI.dll", ""), "SCSI.dll");
}

#ifndef _WIN32
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

    std::string command = std::string(kChildEnv) + "='" + dir.path.string() + "' '" + (dir.path / "host").string() +
                          "' --gtest_filter=DynamicLibrary.ProgramDirectoryFirstChild > '" +
                          (dir.path / "out.txt").string() + "' 2>&1";
    int status = std::system(command.c_str());
    std::ifstream out(dir.path / "out.txt");
    std::string text((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
    ASSERT_TRUE(WIFEXITED(status)) << text;
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    EXPECT_NE(text.find("[  PASSED  ] 1 test"), std::string::npos) << text;
}
#else

namespace {

// The probe library the build makes (probe_library.cpp), in a folder of its own.
const fs::path kProbe = PLATFORM_PROBE_LIBRARY;

using IntFn = int (*)();
using LengthFn = int(WINAPI *)(const char *);

void setEnv(const char *name, const std::string &value) { _putenv_s(name, value.c_str()); }

// Runs program with one argument; its exit code, or -1 when it did not start.
int runProgram(const fs::path &program, const std::string &argument) {
    std::string command = "\"" + program.string() + "\" " + argument;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program.string().c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return -1;
    WaitForSingleObject(process.hProcess, 120000);
    DWORD code = DWORD(-1);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return int(code);
}

} // namespace

TEST(DynamicLibrary, BindsOnlyWhatTheLibraryExports) {
    ASSERT_TRUE(fs::exists(kProbe)) << kProbe;
    platform::LibraryHandle probe = platform::loadLibrary(kProbe.string());
    ASSERT_NE(probe, nullptr) << platform::lastLibraryError();
    auto value = reinterpret_cast<IntFn>(platform::bindSymbol(probe, "ProbeValue"));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value(), 42);
    // Defined in the library but not exported, and imported by it from kernel32.
    EXPECT_EQ(platform::bindSymbol(probe, "probeHidden"), nullptr);
    EXPECT_EQ(platform::bindSymbol(probe, "GetTickCount"), nullptr);
    EXPECT_FALSE(platform::lastLibraryError().empty());
    EXPECT_EQ(platform::lastLibraryError(), "") << "asking clears the error";
    // Forwarded to kernel32: the library's own export, kernel32's address.
    auto length = reinterpret_cast<LengthFn>(platform::bindSymbol(probe, "ProbeLength"));
    ASSERT_NE(length, nullptr);
    EXPECT_EQ(length("seven!!"), 7);
    EXPECT_EQ(reinterpret_cast<void *>(length),
              reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "lstrlenA")));
    EXPECT_EQ(platform::bindSymbol(nullptr, "ProbeValue"), nullptr);
    EXPECT_EQ(platform::bindSymbol(probe, nullptr), nullptr);
    EXPECT_NE(platform::unloadLibrary(probe), 0);
    EXPECT_EQ(platform::unloadLibrary(nullptr), 0);
}

TEST(DynamicLibrary, RefusesWhatIsNotALibrary) {
    ScratchDir dir;
    writeText(dir.path / "NotALibrary.dll", "this is text, not a program image\n");
    EXPECT_EQ(platform::loadLibrary((dir.path / "NotALibrary.dll").string()), nullptr);
    EXPECT_FALSE(platform::lastLibraryError().empty());
    EXPECT_EQ(platform::loadLibrary("NoSuchLibrary-quendal.dll"), nullptr);
    EXPECT_NE(platform::lastLibraryError().find("error "), std::string::npos);
    EXPECT_EQ(platform::loadLibrary(""), nullptr);
}

TEST(DynamicLibrary, FindsOnlyLibrariesAlreadyLoaded) {
    std::string name = kProbe.filename().string();
    ASSERT_EQ(GetModuleHandleA(name.c_str()), nullptr);
    EXPECT_EQ(platform::findLoadedSymbol(name, "ProbeValue"), nullptr);
    EXPECT_EQ(GetModuleHandleA(name.c_str()), nullptr) << "asking must not load it";

    platform::LibraryHandle probe = platform::loadLibrary(kProbe.string());
    ASSERT_NE(probe, nullptr);
    void *bound = platform::bindSymbol(probe, "ProbeValue");
    EXPECT_EQ(platform::findLoadedSymbol(name, "ProbeValue"), bound);
    EXPECT_EQ(platform::findLoadedSymbol(name, "probeHidden"), nullptr);
    // The look-up kept no reference: one unload takes the library out again.
    EXPECT_NE(platform::unloadLibrary(probe), 0);
    EXPECT_EQ(GetModuleHandleA(name.c_str()), nullptr);
    EXPECT_EQ(platform::findLoadedSymbol(name, "ProbeValue"), nullptr);
}

// Runs in a copy of this test program placed in a scratch folder (see below):
// there, bare names resolve against that folder before the system search.
TEST(DynamicLibrary, ProgramDirectoryFirstChild) {
    const char *expected = std::getenv(kChildEnv);
    if (!expected) GTEST_SKIP() << "runs only inside ProgramDirectoryFirst";
    std::string dir = platform::programDirectory();
    ASSERT_TRUE(fs::equivalent(dir, expected)) << dir;

    // Only beside the program, under a name no system search knows.
    platform::LibraryHandle probe = platform::loadLibrary("beside.dll");
    ASSERT_NE(probe, nullptr) << platform::lastLibraryError();
    auto value = reinterpret_cast<IntFn>(platform::bindSymbol(probe, "ProbeValue"));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value(), 42);
    EXPECT_NE(platform::unloadLibrary(probe), 0);

    // A non-library beside the program hides the system's library of that name.
    EXPECT_EQ(platform::loadLibrary("version.dll"), nullptr);
    if (!HasFailure()) writeText(fs::path(dir) / "passed", "yes");
}

TEST(DynamicLibrary, ProgramDirectoryFirst) {
    if (std::getenv(kChildEnv)) GTEST_SKIP() << "parent only";
    ScratchDir dir;
    fs::copy_file(kProbe, dir.path / "beside.dll");
    writeText(dir.path / "version.dll", "not a library\n");
    fs::copy_file(platform::executablePath(), dir.path / "host.exe");

    setEnv(kChildEnv, dir.path.string());
    int code = runProgram(dir.path / "host.exe", "--gtest_filter=DynamicLibrary.ProgramDirectoryFirstChild");
    setEnv(kChildEnv, "");
    EXPECT_EQ(code, 0) << "the child's own test failed or did not run";
    EXPECT_TRUE(fs::exists(dir.path / "passed")) << "the child did not get through its checks";
}
#endif
