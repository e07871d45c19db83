// Host-process paths: executable, current directory, the private temporary
// folder and its refusals, and the mapping of backslash paths.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>

#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

struct ScratchDir {
    fs::path path;
    ScratchDir() {
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
            fs::path candidate = fs::temp_directory_path() / ("platform-paths-" + std::to_string(random()));
            if (fs::create_directory(candidate)) path = candidate;
        }
        if (path.empty()) throw std::runtime_error("no scratch folder");
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// Sets or unsets an environment variable for one scope.
class EnvOverride {
public:
    EnvOverride(const char *name, const char *value) : name_(name) {
        if (const char *old = std::getenv(name)) old_ = old;
        set(name, value);
    }
    ~EnvOverride() { set(name_, old_ ? old_->c_str() : nullptr); }

private:
    static void set(const char *name, const char *value) {
#ifdef _WIN32
        _putenv_s(name, value ? value : ""); // "" removes it
#else
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
#endif
    }

    const char *name_;
    std::optional<std::string> old_;
};

#ifndef _WIN32
mode_t modeOf(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
}
#endif

} // namespace

TEST(Paths, ExecutableIsThisProgram) {
    std::string exe = platform::executablePath();
    ASSERT_FALSE(exe.empty());
#ifdef _WIN32
    EXPECT_EQ(fs::path(exe).filename().string(), "platform_paths_test.exe");
    EXPECT_TRUE(fs::path(exe).is_absolute()) << exe;
    EXPECT_TRUE(fs::exists(exe)) << exe;
#else
    EXPECT_TRUE(fs::equivalent(exe, "/proc/self/exe"));
#endif
    EXPECT_EQ(platform::programDirectory(), fs::path(exe).parent_path().string());
}

TEST(Paths, CurrentDirectoryChangesOnlyToExistingFolders) {
    std::string before = platform::currentDirectory();
    ASSERT_FALSE(before.empty());
    ScratchDir dir;
#ifdef _WIN32
    std::string target = dir.path.string();
#else
    std::string target = fs::canonical(dir.path).string();
#endif
    ASSERT_TRUE(platform::setCurrentDirectory(target));
    EXPECT_EQ(platform::currentDirectory(), target);
    EXPECT_FALSE(platform::setCurrentDirectory(target + "/missing"));
    EXPECT_FALSE(platform::setCurrentDirectory(""));
    EXPECT_EQ(platform::currentDirectory(), target);
    ASSERT_TRUE(platform::setCurrentDirectory(before));
}

#ifndef _WIN32
TEST(Paths, TemporaryDirectoryIsTheRuntimeDirectoryOnlyWhenItIsPrivate) {
    ScratchDir base;
    const fs::path run = base.path / "run";
    fs::create_directory(run);
    ASSERT_EQ(chmod(run.c_str(), 0700), 0);
    EnvOverride tmpdir("TMPDIR", base.path.c_str());
    const std::string fallback = (base.path / ("quendal-" + std::to_string(geteuid()))).string() + "/";
    EnvOverride runtime("XDG_RUNTIME_DIR", run.c_str());
    EXPECT_EQ(platform::temporaryDirectory(), run.string() + "/");
    EnvOverride runtimeSlash("XDG_RUNTIME_DIR", (run.string() + "/").c_str());
    EXPECT_EQ(platform::temporaryDirectory(), run.string() + "/");

    // Open to others, a link to a private folder, missing, or (for root, who
    // alone can make one here) somebody else's: the private fallback instead.
    ASSERT_EQ(chmod(run.c_str(), 0711), 0);
    EXPECT_EQ(platform::temporaryDirectory(), fallback);
    ASSERT_EQ(chmod(run.c_str(), 0700), 0);
    const fs::path link = base.path / "link";
    fs::create_directory_symlink(run, link);
    EnvOverride linked("XDG_RUNTIME_DIR", link.c_str());
    EXPECT_EQ(platform::temporaryDirectory(), fallback);
    EnvOverride missing("XDG_RUNTIME_DIR", (base.path / "missing").c_str());
    EXPECT_EQ(platform::temporaryDirectory(), fallback);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(run.c_str(), 4242, 4242), 0);
        EnvOverride foreign("XDG_RUNTIME_DIR", run.c_str());
        EXPECT_EQ(platform::temporaryDirectory(), fallback);
    }
}

TEST(Paths, TemporaryDirectoryIsCreatedPrivateUnderTmpdir) {
    ScratchDir base;
    EnvOverride runtime("XDG_RUNTIME_DIR", nullptr);
    EnvOverride tmpdir("TMPDIR", base.path.c_str());
    std::string temp = platform::temporaryDirectory();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), '/');
    EXPECT_EQ(fs::path(temp).parent_path().parent_path(), base.path);
    mode_t mode = modeOf(temp);
    EXPECT_TRUE(S_ISDIR(mode));
    EXPECT_EQ(mode & 0777, 0700u);
    // The same folder again, not a new one.
    EXPECT_EQ(platform::temporaryDirectory(), temp);
    // An empty TMPDIR counts as unset.
    EnvOverride emptyTmp("TMPDIR", "");
    std::string fallback = platform::temporaryDirectory();
    EXPECT_EQ(fallback.rfind("/tmp/", 0), 0u) << fallback;
}

TEST(Paths, TemporaryDirectoryRefusesForeignOrOpenFolders) {
    ScratchDir base;
    EnvOverride runtime("XDG_RUNTIME_DIR", nullptr);
    EnvOverride tmpdir("TMPDIR", base.path.c_str());
    std::string temp = platform::temporaryDirectory();
    ASSERT_FALSE(temp.empty());
    std::string folder = temp.substr(0, temp.size() - 1);

    // Readable by the group.
    ASSERT_EQ(chmod(folder.c_str(), 0750), 0);
    EXPECT_EQ(platform::temporaryDirectory(), "");
    ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
    EXPECT_EQ(platform::temporaryDirectory(), temp);

    // A link planted at the name, even to a private folder of ours.
    fs::remove(folder);
    fs::path elsewhere = base.path / "elsewhere";
    fs::create_directory(elsewhere);
    ASSERT_EQ(chmod(elsewhere.c_str(), 0700), 0);
    fs::create_directory_symlink(elsewhere, folder);
    EXPECT_EQ(platform::temporaryDirectory(), "");
    fs::remove(folder);

    // A plain file at the name.
    { std::ofstream(folder) << "x"; }
    EXPECT_EQ(platform::temporaryDirectory(), "");
    fs::remove(folder);

    // Somebody else's folder (only root can make one here).
    if (geteuid() == 0) {
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chown(folder.c_str(), 4242, 4242), 0);
        EXPECT_EQ(platform::temporaryDirectory(), "");
    }
}

TEST(Paths, BackslashPathsMapOntoHostPaths) {
    auto drives = [](char letter) -> std::string {
        if (letter == 'C') return "/";
        if (letter == 'E') return "/media/user/FLASH";
        if (letter == 'F') return "/media/user/SECURE/";
        return "";
    };
    EXPECT_EQ(platform::hostPath(".\\PWD", drives), "./PWD");
    EXPECT_EQ(platform::hostPath(".\\Cdrom\\auto.iso", drives), "./Cdrom/auto.iso");
    EXPECT_EQ(platform::hostPath("BOOTFILES\\io.sys"), "BOOTFILES/io.sys");
    EXPECT_EQ(platform::hostPath("E:\\log.log", drives), "/media/user/FLASH/log.log");
    EXPECT_EQ(platform::hostPath("e:\\log.log", drives), "/media/user/FLASH/log.log");
    EXPECT_EQ(platform::hostPath("F:\\dir\\a.txt", drives), "/media/user/SECURE/dir/a.txt");
    EXPECT_EQ(platform::hostPath("E:", drives), "/media/user/FLASH");
    EXPECT_EQ(platform::hostPath("E:\\", drives), "/media/user/FLASH");
    EXPECT_EQ(platform::hostPath("C:\\", drives), "/");
    EXPECT_EQ(platform::hostPath("C:\\log.log", drives), "/log.log");
    // A drive without a host folder, or no drive table at all, maps to nothing.
    EXPECT_EQ(platform::hostPath("G:\\log.log", drives), "");
    EXPECT_EQ(platform::hostPath("E:\\log.log"), "");
    // Not drive letters.
    EXPECT_EQ(platform::hostPath("1:\\x", drives), "1:/x");
}
#endif

#ifdef _WIN32
TEST(Paths, TemporaryDirectoryIsTheUsersOwnWithOneTrailingBackslash) {
    ScratchDir base;
    // TMP comes first in the system's choice; a missing folder is made.
    std::string wanted = (base.path / "user-temp").string();
    EnvOverride tmp("TMP", wanted.c_str());
    std::string temp = platform::temporaryDirectory();
    EXPECT_EQ(temp, wanted + "\\");
    EXPECT_TRUE(fs::is_directory(wanted));
    // Given with a separator already: still exactly one.
    EnvOverride tmpSlash("TMP", (wanted + "\\").c_str());
    EXPECT_EQ(platform::temporaryDirectory(), wanted + "\\");
    // A file in the way is no temporary folder.
    std::string file = (base.path / "plain").string();
    std::ofstream(file) << "x";
    EnvOverride tmpFile("TMP", file.c_str());
    EXPECT_EQ(platform::temporaryDirectory(), "");
}

TEST(Paths, SystemPathsAreNativeAndOnlyMappedDrivesAreRedirected) {
    auto drives = [](char letter) -> std::string {
        if (letter == 'E') return "Z:\\disk\\mnt";
        if (letter == 'F') return "C:\\";
        return "";
    };
    EXPECT_EQ(platform::hostPath(".\\Cdrom\\auto.iso"), ".\\Cdrom\\auto.iso");
    EXPECT_EQ(platform::hostPath("BOOTFILES\\io.sys", drives), "BOOTFILES\\io.sys");
    EXPECT_EQ(platform::hostPath("E:\\log.log"), "E:\\log.log");
    EXPECT_EQ(platform::hostPath("e:\\log.log", drives), "Z:\\disk\\mnt\\log.log");
    EXPECT_EQ(platform::hostPath("E:", drives), "Z:\\disk\\mnt");
    EXPECT_EQ(platform::hostPath("E:\\", drives), "Z:\\disk\\mnt");
    EXPECT_EQ(platform::hostPath("F:\\a\\b.txt", drives), "C:\\a\\b.txt");
    EXPECT_EQ(platform::hostPath("F:", drives), "C:\\");
    EXPECT_EQ(platform::hostPath("G:\\log.log", drives), "");
}
#endif
