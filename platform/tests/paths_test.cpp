// Host-process paths: executable, current directory, the private temporary
// folder and its refusals, and the mapping of backslash paths.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

struct ScratchDir {
    fs::path path;
    ScratchDir() {
        std::string tmpl = (fs::temp_directory_path() / "platform-paths-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
        path = tmpl;
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
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvOverride() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char *name_;
    std::optional<std::string> old_;
};

mode_t modeOf(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
}

} // namespace

TEST(Paths, ExecutableIsThisProgram) {
    std::string exe = platform::executablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_TRUE(fs::equivalent(exe, "/proc/self/exe"));
    EXPECT_EQ(platform::programDirectory(), fs::path(exe).parent_path().string());
}

TEST(Paths, CurrentDirectoryChangesOnlyToExistingFolders) {
    std::string before = platform::currentDirectory();
    ASSERT_FALSE(before.empty());
    ScratchDir dir;
    std::string target = fs::canonical(dir.path).string();
    ASSERT_TRUE(platform::setCurrentDirectory(target));
    EXPECT_EQ(platform::currentDirectory(), target);
    EXPECT_FALSE(platform::setCurrentDirectory(target + "/missing"));
    EXPECT_FALSE(platform::setCurrentDirectory(""));
    EXPECT_EQ(platform::currentDirectory(), target);
    ASSERT_TRUE(platform::setCurrentDirectory(before));
}

TEST(Paths, TemporaryDirectoryPrefersTheRuntimeDirectory) {
    EnvOverride runtime("XDG_RUNTIME_DIR", "/run/user/4242");
    EXPECT_EQ(platform::temporaryDirectory(), "/run/user/4242/");
    EnvOverride runtimeSlash("XDG_RUNTIME_DIR", "/run/user/4242/");
    EXPECT_EQ(platform::temporaryDirectory(), "/run/user/4242/");
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
