// The launcher run end to end: test builds of Latchkin carry a probe as the
// login program and unpack into a temporary folder of the test's own. On Linux
// that is XDG_RUNTIME_DIR and the probe is started from a folder on drive E: of
// a drive map; on Windows it is TMP/TEMP and the drive is the folder's own.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LzariDecoder.h"
#include "MemoryStreams.h"
#include "TestProcess.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

// A path the build wrote into the test. A cross-built test runs under Wine,
// where the build machine's "/" is drive Z:.
fs::path fromBuild(const char *path) {
#ifdef _WIN32
    if (path[0] == '/') return fs::path(std::string("Z:") + path);
#endif
    return fs::path(path);
}

Bytes readFile(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string readText(const fs::path &p) {
    Bytes b = readFile(p);
    return std::string(b.begin(), b.end());
}

// False while a program runs from the file: neither system lets it be written then.
bool writable(const fs::path &p) {
#ifdef _WIN32
    HANDLE h = CreateFileA(p.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
#else
    int fd = open(p.c_str(), O_WRONLY);
    if (fd < 0) return false;
    close(fd);
    return true;
#endif
}

// A program started and left running, ended when the test is done with it.
class Lingering {
public:
    Lingering(const fs::path &program, const char *arg) {
#ifdef _WIN32
        std::string cmd = "\"" + program.string() + "\" " + arg;
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                           &pi)) {
            CloseHandle(pi.hThread);
            process_ = pi.hProcess;
        }
#else
        pid_ = fork();
        if (pid_ == 0) {
            execl(program.c_str(), "Sarvik.exe", arg, static_cast<char *>(nullptr));
            _exit(127);
        }
#endif
    }
    ~Lingering() {
#ifdef _WIN32
        if (!process_) return;
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, INFINITE);
        CloseHandle(process_);
#else
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
#endif
    }
    bool started() const {
#ifdef _WIN32
        return process_ != nullptr;
#else
        return pid_ > 0;
#endif
    }

private:
#ifdef _WIN32
    HANDLE process_ = nullptr;
#else
    pid_t pid_ = -1;
#endif
};

struct Row {
    const char *stored;
    const char *unpacked;
    fs::path source;
};

// The files each test launcher carries, in the real table's order and names.
std::vector<Row> fullRows() {
    const fs::path lang = fromBuild(LANGUAGE_DIR);
    return {{"Sarvik.ex~", "Sarvik.exe", fromBuild(PROBE_FILE)},  {"SCSI.dl~", "SCSI.dll", fromBuild(TOOL_FILE)},
            {"Quendal.dl~", "Quendal.dll", fromBuild(CORE_FILE)}, {"1028.in~", "1028.ini", lang / "1028.ini"},
            {"1033.in~", "1033.ini", lang / "1033.ini"},          {"1042.in~", "1042.ini", lang / "1042.ini"},
            {"2052.in~", "2052.ini", lang / "2052.ini"}};
}

const char kSettings[] = "[SETTING]\r\nVENDERSTRING=\r\nPROCEDURESTR=\r\nVERSIONSTR=2.00";

class LauncherRun : public ::testing::Test {
protected:
    void SetUp() override {
        root = scratch.path();
        runtime = root / "run";
        fs::create_directory(runtime);
#ifdef _WIN32
        // The folder the launcher starts from is in the build tree: under Wine
        // that is drive Z:, while the temporary folder is on C:.
        disk = place.path();
#else
        ASSERT_EQ(chmod(runtime.c_str(), 0700), 0);
        disk = root / "disk";
#endif
        folder = disk / "folder";
        fs::create_directories(folder);
#ifndef _WIN32
        driveMap = root / "drives";
        std::ofstream(driveMap) << "E:\t" << (root / "disk.img").string() << "\t0\t0\trw\t" << disk.string() << "\n";
#endif
    }

    struct Outcome {
        int exitCode;
        std::string err;
    };

    Outcome run(const char *launcher, const fs::path &cwd, const std::string &tempDir) {
        testsupport::ProcessOptions o;
        o.workingDirectory = cwd.string();
#ifdef _WIN32
        o.env = {{"TMP", tempDir}, { "TEMP", tempDir }};
#else
        o.env = {{"XDG_RUNTIME_DIR", tempDir}, {"FLASHDISK_DRIVES", driveMap.string()}};
        o.unsetEnv = {"FLASHDISK_EMULATOR"};
#endif
        o.env.insert(o.env.end(), extraEnv.begin(), extraEnv.end());
        o.timeout = std::chrono::seconds(60);
        testsupport::ProcessResult r = testsupport::runProcess(fromBuild(launcher).string(), {}, o);
        EXPECT_TRUE(r.started) << r.output;
        return {r.exitCode, r.output};
    }
    Outcome run(const char *launcher) { return run(launcher, folder, runtime.string()); }

    // The probe's record, once it has run; "" when it did not appear in time.
    std::string awaitProbe(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const fs::path record = runtime / "probe-record.txt";
        auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (fs::exists(record)) return readText(record);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return {};
    }

    // Until the probe has ended its file cannot be written (nor, on Windows,
    // the folder removed).
    void awaitProbeEnded() {
        const fs::path program = runtime / "Sarvik.exe";
        for (int i = 0; i < 1000 && fs::exists(program) && !writable(program); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    std::set<std::string> runtimeFiles() const { return filesIn(runtime); }
    static std::set<std::string> filesIn(const fs::path &dir) {
        std::set<std::string> names;
        for (const auto &e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
        return names;
    }

    // "argc=1\narg=<root>\ncwd=<dir>\n", as the probe records a start from dir.
    static std::string startedWith(const std::string &root, const fs::path &dir) {
        return "argc=1\narg=" + root + "\ncwd=" + dir.string() + "\n";
    }

    void expectUnpackedAsCarried() {
        for (const Row &row : fullRows()) {
            SCOPED_TRACE(row.unpacked);
            Bytes original = readFile(row.source);
            ASSERT_FALSE(original.empty());
            Bytes unpacked = readFile(runtime / row.unpacked);
            EXPECT_EQ(unpacked.size(), original.size());
            EXPECT_TRUE(unpacked == original);
            // The intermediate file is the stored stream, which decodes to the same.
            Bytes stored = readFile(runtime / row.stored);
            lzari::MemoryInput in(stored);
            lzari::VectorOutput out;
            lzari::LzariDecoder decoder;
            EXPECT_EQ(decoder.decode(in, out), lzari::DecodeResult::Done);
            EXPECT_TRUE(out.bytes == original);
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(runtime / row.unpacked)));
#ifndef _WIN32
            struct stat st {};
            ASSERT_EQ(lstat((runtime / row.unpacked).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 077, 0u) << "readable by others";
#endif
        }
        EXPECT_EQ(readText(runtime / "FlashDisk.ini"), kSettings);
        EXPECT_EQ(fs::file_size(runtime / "FlashDisk.ini"), 56u);
#ifndef _WIN32
        EXPECT_TRUE(access((runtime / "Sarvik.exe").c_str(), X_OK) == 0);
#endif
    }

    void TearDown() override { awaitProbeEnded(); }

    testsupport::ScratchDir scratch{"latchkin-test"};
#ifdef _WIN32
    struct BuildTreeFolder {
        BuildTreeFolder() {
            static int n = 0;
            dir = fs::path(testsupport::programDirectory()) /
                  ("latchkin-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(n++));
            fs::create_directories(dir);
        }
        ~BuildTreeFolder() {
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
        const fs::path &path() const { return dir; }
        fs::path dir;
    } place;
#endif
    fs::path root, runtime, disk, folder, driveMap;
    std::vector<std::pair<std::string, std::string>> extraEnv;
};

// The drive root the launcher passes for the test's folder.
std::string expectedRoot(const fs::path &folder) {
#ifdef _WIN32
    return folder.string().substr(0, 3);
#else
    (void)folder;
    return "E:\\";
#endif
}

} // namespace

TEST_F(LauncherRun, UnpacksEverythingAndStartsTheLoginProgramWithTheDriveRoot) {
    Outcome o = run(LAUNCHER_FULL);
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.err, "");
    std::string record = awaitProbe();
    // One parameter, the drive root; the launcher's current directory inherited.
    const std::string root = expectedRoot(folder);
    ASSERT_EQ(root.size(), 3u);
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(root[0])) && root.substr(1) == ":\\") << root;
    EXPECT_EQ(record, startedWith(root, folder));
    expectUnpackedAsCarried();
    std::set<std::string> expected = {"FlashDisk.ini", "probe-record.txt"};
    for (const Row &row : fullRows()) {
        expected.insert(row.stored);
        expected.insert(row.unpacked);
    }
    EXPECT_EQ(runtimeFiles(), expected); // no ASPI layer, nothing else
}

TEST_F(LauncherRun, SecondRunOverwritesWithIdenticalContent) {
    ASSERT_EQ(run(LAUNCHER_FULL).exitCode, 0);
    ASSERT_NE(awaitProbe(), "");
    // The probe may still be on its way out; a running program's file cannot be
    // written, and the launcher would rightly skip it.
    awaitProbeEnded();
    fs::remove(runtime / "probe-record.txt");
    // Damage what the first run left: a longer file, a shorter one, other settings.
    std::ofstream(runtime / "1033.ini", std::ios::binary) << std::string(5000, '#');
    fs::resize_file(runtime / "SCSI.dll", 10);
    std::ofstream(runtime / "FlashDisk.ini", std::ios::binary) << "[SETTING]\r\nVERSIONSTR=9.99 and more";
    fs::permissions(runtime / "Sarvik.exe", fs::perms::owner_read | fs::perms::owner_write);

    Outcome o = run(LAUNCHER_FULL);
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_NE(awaitProbe(), "");
    expectUnpackedAsCarried();
}

TEST_F(LauncherRun, ShortStoredStreamStopsTheRun) {
    Outcome o = run(LAUNCHER_SHORT);
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.err.find("Read Error"), std::string::npos) << o.err;
    // Rows before the short one are unpacked; its own output exists and is empty.
    EXPECT_EQ(readFile(runtime / "Sarvik.exe"), readFile(fromBuild(PROBE_FILE)));
    EXPECT_EQ(readFile(runtime / "SCSI.dll"), readFile(fromBuild(TOOL_FILE)));
    EXPECT_EQ(fs::file_size(runtime / "Quendal.dl~"), 2u);
    ASSERT_TRUE(fs::exists(runtime / "Quendal.dll"));
    EXPECT_EQ(fs::file_size(runtime / "Quendal.dll"), 0u);
    // Nothing after it, no settings file, and nothing started.
    EXPECT_FALSE(fs::exists(runtime / "1028.in~"));
    EXPECT_FALSE(fs::exists(runtime / "1028.ini"));
    EXPECT_FALSE(fs::exists(runtime / "FlashDisk.ini"));
    EXPECT_EQ(awaitProbe(std::chrono::milliseconds(1500)), "");
}

TEST_F(LauncherRun, WithoutALoginProgramNothingIsUnpackedOrStarted) {
    Outcome o = run(LAUNCHER_NOLOGIN);
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.err.find("Sarvik.exe"), std::string::npos) << o.err;
    EXPECT_TRUE(runtimeFiles().empty());
}

TEST_F(LauncherRun, PathsThatDoNotFitTheirBuffersStopBeforeAnythingIsWritten) {
    // A current directory of 100 characters or more.
    fs::path deep = folder / std::string(120 - folder.string().size() % 50, 'd');
    fs::create_directories(deep);
    ASSERT_GE(deep.string().size(), 100u);
    Outcome o = run(LAUNCHER_FULL, deep, runtime.string());
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.err.find("current directory"), std::string::npos) << o.err;
    EXPECT_TRUE(runtimeFiles().empty());

    // A temporary folder that fits its buffer while the files in it do not:
    // 190 characters plus the separator plus "Sarvik.ex~" is over 199.
    ASSERT_LT(root.string().size(), 150u);
    fs::path longRuntime = root / std::string(190 - root.string().size() - 1, 't');
    ASSERT_EQ(longRuntime.string().size(), 190u);
    ASSERT_TRUE(fs::create_directory(longRuntime));
    fs::permissions(longRuntime, fs::perms::owner_all); // only a private folder is taken
    o = run(LAUNCHER_FULL, folder, longRuntime.string());
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.err.find("longer than 199"), std::string::npos) << o.err;
    EXPECT_TRUE(fs::is_empty(longRuntime));

    // A temporary folder longer than its own buffer.
    fs::path longer = longRuntime / std::string(30, 'u');
    ASSERT_TRUE(fs::create_directory(longer));
    fs::permissions(longer, fs::perms::owner_all);
    o = run(LAUNCHER_FULL, folder, longer.string());
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.err.find("longer than 199"), std::string::npos) << o.err;
    EXPECT_TRUE(fs::is_empty(longer));
}

#ifdef _WIN32
TEST_F(LauncherRun, TheParameterIsTheRootOfTheStartingFoldersDrive) {
    // Started from a folder of the temporary folder's drive (C: under Wine)
    // rather than the build tree's.
    fs::path elsewhere = root / "elsewhere";
    fs::create_directories(elsewhere);
    ASSERT_EQ(run(LAUNCHER_FULL, elsewhere, runtime.string()).exitCode, 0);
    EXPECT_EQ(awaitProbe(), startedWith(elsewhere.string().substr(0, 3), elsewhere));
}
#else
TEST_F(LauncherRun, StartedOutsideEveryDriveTheLoginProgramGetsNoParameter) {
    fs::path elsewhere = root / "elsewhere";
    fs::create_directories(elsewhere);
    std::ofstream(driveMap) << "E:\t" << (root / "disk.img").string() << "\t0\t0\trw\t" << (root / "not-here").string()
                            << "\n";
    ASSERT_EQ(run(LAUNCHER_FULL, elsewhere, runtime.string()).exitCode, 0);
    EXPECT_EQ(awaitProbe(), "argc=0\ncwd=" + elsewhere.string() + "\n");
}
#endif

TEST_F(LauncherRun, ALoginProgramStillRunningKeepsTheFilesItRunsFrom) {
    // An earlier login program of another build, still running from the
    // temporary folder. A copy of the probe told to linger stands in for it.
    const fs::path program = runtime / "Sarvik.exe";
    fs::copy_file(fromBuild(PROBE_FILE), program);
    std::ofstream(program, std::ios::binary | std::ios::app) << "an earlier build";
    const Bytes earlier = readFile(program);
    fs::permissions(program, fs::perms::owner_all);
    Lingering running(program, "--linger");
    ASSERT_TRUE(running.started());
    // Until the program has started its file is not yet busy.
    for (int i = 0; i < 500 && writable(program); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(writable(program));
#ifdef _WIN32
    // Windows keeps a running program's file from being replaced. It is not
    // the one carried, so it is not started either, and the user is told why.
    Outcome o = run(LAUNCHER_FULL);
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.err.find("Sarvik.exe is in use"), std::string::npos) << o.err;
    EXPECT_TRUE(readFile(program) == earlier);
    EXPECT_EQ(readFile(runtime / "Quendal.dll"), readFile(fromBuild(CORE_FILE)));
    EXPECT_FALSE(fs::exists(runtime / "Sarvik.exe.new"));
    EXPECT_EQ(awaitProbe(std::chrono::milliseconds(1500)), "");
#else
    // Every file is renamed into place: what the running program holds open
    // keeps its bytes, and the carried program is the one started.
    int held = open(program.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    Outcome o = run(LAUNCHER_FULL);
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.err, "");
    Bytes still(earlier.size() + 1);
    EXPECT_EQ(pread(held, still.data(), still.size(), 0), ssize_t(earlier.size()));
    still.resize(earlier.size());
    EXPECT_TRUE(still == earlier);
    close(held);
    EXPECT_EQ(awaitProbe(), startedWith(expectedRoot(folder), folder));
    expectUnpackedAsCarried();
#endif
}

#ifndef _WIN32
TEST_F(LauncherRun, RerunningReplacesTheLibrariesInsteadOfRewritingThem) {
    // A login program started by the first run has the libraries mapped;
    // rewriting them in place would change the code under it.
    ASSERT_EQ(run(LAUNCHER_FULL).exitCode, 0);
    ASSERT_NE(awaitProbe(), "");
    fs::remove(runtime / "probe-record.txt");
    const Bytes library = readFile(runtime / "Quendal.dll");
    int held = open((runtime / "Quendal.dll").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    struct stat before {};
    ASSERT_EQ(fstat(held, &before), 0);

    ASSERT_EQ(run(LAUNCHER_FULL).exitCode, 0);
    struct stat now {
    }, after{};
    ASSERT_EQ(fstat(held, &now), 0);
    ASSERT_EQ(stat((runtime / "Quendal.dll").c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(now.st_size, before.st_size);
    Bytes mapped(library.size());
    EXPECT_EQ(pread(held, mapped.data(), mapped.size(), 0), ssize_t(library.size()));
    EXPECT_TRUE(mapped == library);
    close(held);
    EXPECT_NE(awaitProbe(), "");
    EXPECT_FALSE(fs::exists(runtime / "Quendal.dll.new"));
}

TEST_F(LauncherRun, PlantedLoginProgramsAndLinksAreNeverRunOrWrittenThrough) {
    // What another user, or another program of this one, may leave behind: a
    // login program of its own, and a link where the launcher writes.
    const fs::path marker = root / "planted-ran";
    const std::string planted = "#!/bin/sh\ntouch '" + marker.string() + "'\n";
    const fs::path victim = root / "victim";
    std::ofstream(victim) << "precious";
    auto plant = [&](const fs::path &dir) {
        std::ofstream(dir / "Sarvik.exe", std::ios::binary) << planted;
        fs::permissions(dir / "Sarvik.exe", fs::perms::owner_all);
        fs::create_symlink(victim, dir / "Quendal.dll");
    };

    // In the folder itself, with the login program's intermediate name taken
    // so that the carried one cannot be unpacked over the planted one.
    plant(runtime);
    fs::create_directory(runtime / "Sarvik.ex~");
    Outcome o = run(LAUNCHER_FULL);
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.err.find("is not the login program this launcher carries"), std::string::npos) << o.err;
    EXPECT_EQ(readText(victim), "precious");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(runtime / "Quendal.dll")));
    EXPECT_EQ(awaitProbe(std::chrono::milliseconds(1500)), "");
    EXPECT_FALSE(fs::exists(marker));

    // An earlier run's own copy under the same conditions is started.
    fs::copy_file(fromBuild(PROBE_FILE), runtime / "Sarvik.exe", fs::copy_options::overwrite_existing);
    o = run(LAUNCHER_FULL);
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(awaitProbe(), "");

    // Root with another user's runtime folder (su, sudo -E): the folder is
    // not used at all, the private fallback under TMPDIR is.
    if (geteuid() != 0) GTEST_SKIP() << "only root can make a folder of another user's";
    const fs::path foreign = root / "foreign";
    fs::create_directory(foreign);
    plant(foreign);
    ASSERT_EQ(chmod(foreign.c_str(), 0700), 0);
    ASSERT_EQ(lchown((foreign / "Sarvik.exe").c_str(), 4242, 4242), 0);
    ASSERT_EQ(chown(foreign.c_str(), 4242, 4242), 0);
    const fs::path tmpdir = root / "tmp";
    fs::create_directory(tmpdir);
    extraEnv = {{"TMPDIR", tmpdir.string()}};
    o = run(LAUNCHER_FULL, folder, foreign.string());
    EXPECT_EQ(o.exitCode, 0) << o.err;
    const fs::path fallback = tmpdir / ("quendal-" + std::to_string(geteuid()));
    EXPECT_EQ(readFile(fallback / "Quendal.dll"), readFile(fromBuild(CORE_FILE)));
    EXPECT_EQ(filesIn(foreign), (std::set<std::string>{"Quendal.dll", "Sarvik.exe"}));
    EXPECT_EQ(readText(victim), "precious");
    const fs::path record = fallback / "probe-record.txt";
    for (int i = 0; i < 1000 && !fs::exists(record); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(fs::exists(record));
    EXPECT_FALSE(fs::exists(marker));
}
#endif

namespace {

// The file's bytes converted from its code page; false when a byte sequence is
// not valid there.
bool decodeCodePage(const Bytes &bytes, const char *codePage, std::string &utf8) {
#ifdef _WIN32
    // "CP950" -> 950; MB_ERR_INVALID_CHARS refuses what the code page has no character for.
    const UINT cp = UINT(std::stoul(std::string(codePage).substr(2)));
    const std::string in(bytes.begin(), bytes.end());
    if (in.empty()) {
        utf8.clear();
        return true;
    }
    int wide = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in.data(), int(in.size()), nullptr, 0);
    if (wide <= 0) return false;
    std::wstring w(size_t(wide), L'\0');
    MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in.data(), int(in.size()), w.data(), wide);
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    utf8.assign(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, utf8.data(), n, nullptr, nullptr);
    return n > 0;
#else
    iconv_t cd = iconv_open("UTF-8", codePage);
    if (cd == iconv_t(-1)) return false;
    std::string in(bytes.begin(), bytes.end());
    utf8.assign(in.size() * 4 + 16, '\0');
    char *src = in.data();
    size_t srcLeft = in.size();
    char *dst = utf8.data();
    size_t dstLeft = utf8.size();
    size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    utf8.resize(utf8.size() - dstLeft);
    return rc != size_t(-1) && srcLeft == 0;
#endif
}

// section -> key -> value, lines split at CR LF.
std::map<std::string, std::map<std::string, std::string>> parseIni(const std::string &text, bool &crlf) {
    std::map<std::string, std::map<std::string, std::string>> ini;
    std::string section;
    crlf = true;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        if (nl != std::string::npos) {
            if (line.empty() || line.back() != '\r')
                crlf = false;
            else
                line.pop_back();
        }
        if (line.empty()) continue;
        if (line.front() == '[') {
            section = line.substr(1, line.find(']') - 1);
        } else {
            size_t eq = line.find('=');
            ini[section][line.substr(0, eq)] = eq == std::string::npos ? "" : line.substr(eq + 1);
        }
    }
    return ini;
}

} // namespace

TEST(LanguageFiles, EachIsValidInItsCodePageAndHasEveryKey) {
    const std::map<std::string, std::vector<std::string>> keys = {
        {"LoginFrm",
         {"LoginFrm.caption", "LoginFrm.Label1.caption", "LoginFrm.BtnCancel.caption", "LoginFrm.BtnLogin.caption",
          "LoginFrm.BtnChangePassword.caption"}},
        {"ChangePwdFrm",
         {"ChangePwdFrm.caption", "ChangePwdFrm.lbPassword.caption", "ChangePwdFrm.Label1.caption",
          "ChangePwdFrm.Label2.caption", "ChangePwdFrm.btnCancel.caption", "ChangePwdFrm.btnOk.caption"}},
        {"MSGSTRING", {"FORWINME", "PWDERR", "LOGINERR", "OLDERR", "CONFIRMERR", "CHANGEOK", "CHANGEKO"}}};
    const std::pair<const char *, const char *> files[] = {
        {"1028.ini", "CP950"}, {"1033.ini", "CP1252"}, {"1042.ini", "CP949"}, {"2052.ini", "CP936"}};
    std::map<std::string, std::string> pwderr;
    for (auto [name, codePage] : files) {
        SCOPED_TRACE(name);
        std::string text;
        ASSERT_TRUE(decodeCodePage(readFile(fromBuild(LANGUAGE_DIR) / name), codePage, text));
        bool crlf = false;
        auto ini = parseIni(text, crlf);
        EXPECT_TRUE(crlf);
        for (const auto &[section, list] : keys) {
            for (const std::string &key : list) {
                ASSERT_TRUE(ini[section].count(key)) << section << " lacks " << key;
                EXPECT_FALSE(ini[section][key].empty()) << key;
            }
        }
        // The login program's window title is the same in every language.
        EXPECT_EQ(ini["LoginFrm"]["LoginFrm.caption"], "Keyvane");
        pwderr[name] = ini["MSGSTRING"]["PWDERR"];
    }
    // Each file is in its own language, not a copy of another.
    EXPECT_EQ(pwderr["1033.ini"], "Password Error.");
    std::set<std::string> distinct;
    for (auto &[n, v] : pwderr) distinct.insert(v);
    EXPECT_EQ(distinct.size(), 4u);
}
