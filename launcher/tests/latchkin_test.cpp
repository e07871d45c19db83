// The launcher run end to end: test builds of Latchkin carry a probe as the
// login program, unpack into a private temporary directory of the test's own
// (XDG_RUNTIME_DIR) and start the probe from a folder on drive E: of a drive map.
#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

extern char **environ;

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes readFile(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string readText(const fs::path &p) {
    Bytes b = readFile(p);
    return std::string(b.begin(), b.end());
}

struct Row {
    const char *stored;
    const char *unpacked;
    std::string source;
};

// The files each test launcher carries, in the real table's order and names.
std::vector<Row> fullRows() {
    const std::string lang = LANGUAGE_DIR;
    return {{"Sarvik.ex~", "Sarvik.exe", PROBE_FILE},    {"SCSI.dl~", "SCSI.dll", TOOL_FILE},
            {"Quendal.dl~", "Quendal.dll", CORE_FILE},   {"1028.in~", "1028.ini", lang + "/1028.ini"},
            {"1033.in~", "1033.ini", lang + "/1033.ini"}, {"1042.in~", "1042.ini", lang + "/1042.ini"},
            {"2052.in~", "2052.ini", lang + "/2052.ini"}};
}

const char kSettings[] = "[SETTING]\r\nVENDERSTRING=\r\nPROCEDURESTR=\r\nVERSIONSTR=2.00";

class LauncherRun : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/latchkin-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        runtime = root / "run";
        ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
        disk = root / "disk";
        folder = disk / "folder";
        fs::create_directories(folder);
        driveMap = root / "drives";
        std::ofstream(driveMap) << "E:\t" << (root / "disk.img").string() << "\t0\t0\trw\t"
                                << disk.string() << "\n";
    }
    void TearDown() override { fs::remove_all(root); }

    struct Outcome {
        int exitCode;
        std::string err;
    };

    Outcome run(const char *launcher, const fs::path &cwd, const std::string &runtimeDir) {
        std::vector<std::string> env;
        for (char **e = environ; *e; ++e) {
            std::string v = *e;
            if (v.rfind("XDG_RUNTIME_DIR=", 0) == 0 || v.rfind("FLASHDISK_", 0) == 0) continue;
            env.push_back(v);
        }
        env.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
        env.push_back("FLASHDISK_DRIVES=" + driveMap.string());
        std::vector<char *> envp;
        for (std::string &v : env) envp.push_back(v.data());
        envp.push_back(nullptr);
        const std::string errPath = (root / "stderr.txt").string();
        char *argv[] = {const_cast<char *>(launcher), nullptr};

        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || dup2(fd, 2) < 0 || chdir(cwd.c_str()) != 0) _exit(120);
            execve(launcher, argv, envp.data());
            _exit(121);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readText(errPath)};
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

    std::set<std::string> runtimeFiles() const {
        std::set<std::string> names;
        for (const auto &e : fs::directory_iterator(runtime)) names.insert(e.path().filename().string());
        return names;
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
            struct stat st {};
            ASSERT_EQ(lstat((runtime / row.unpacked).c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_mode & 077, 0u) << "readable by others";
        }
        EXPECT_EQ(readText(runtime / "FlashDisk.ini"), kSettings);
        EXPECT_EQ(fs::file_size(runtime / "FlashDisk.ini"), 56u);
        EXPECT_TRUE(access((runtime / "Sarvik.exe").c_str(), X_OK) == 0);
    }

    fs::path root, runtime, disk, folder, driveMap;
};

} // namespace

TEST_F(LauncherRun, UnpacksEverythingAndStartsTheLoginProgramWithTheDriveRoot) {
    Outcome o = run(LAUNCHER_FULL);
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.err, "");
    std::string record = awaitProbe();
    // One parameter, the drive root; the launcher's current directory inherited.
    EXPECT_EQ(record, "argc=1\narg=E:\\\ncwd=" + folder.string() + "\n");
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
    const std::string program = (runtime / "Sarvik.exe").string();
    for (int i = 0; i < 500; ++i) {
        int fd = open(program.c_str(), O_WRONLY);
        if (fd >= 0) {
            close(fd);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fs::remove(runtime / "probe-record.txt");
    // Damage what the first run left: a longer file, a shorter one, other settings.
    std::ofstream(runtime / "1033.ini", std::ios::binary) << std::string(5000, '#');
    fs::resize_file(runtime / "SCSI.dll", 10);
    std::ofstream(runtime / "FlashDisk.ini", std::ios::binary) << "[SETTING]\r\nVERSIONSTR=9.99 and more";
    chmod((runtime / "Sarvik.exe").c_str(), 0600);

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
    EXPECT_EQ(readFile(runtime / "Sarvik.exe"), readFile(PROBE_FILE));
    EXPECT_EQ(readFile(runtime / "SCSI.dll"), readFile(TOOL_FILE));
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
    Outcome o = run(LAUNCHER_FULL, deep, runtime.string());
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.err.find("current directory"), std::string::npos) << o.err;
    EXPECT_TRUE(runtimeFiles().empty());

    // A temporary directory that fits its buffer while the files in it do not:
    // 190 characters plus "/" plus "Sarvik.ex~" is over 199.
    fs::path longRuntime = root / std::string(190 - root.string().size() - 1, 't');
    ASSERT_EQ(longRuntime.string().size(), 190u);
    ASSERT_EQ(mkdir(longRuntime.c_str(), 0700), 0);
    o = run(LAUNCHER_FULL, folder, longRuntime.string());
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.err.find("longer than 199"), std::string::npos) << o.err;
    EXPECT_TRUE(fs::is_empty(longRuntime));

    // A temporary directory longer than its own buffer.
    fs::path longer = longRuntime / std::string(30, 'u');
    ASSERT_EQ(mkdir(longer.c_str(), 0700), 0);
    o = run(LAUNCHER_FULL, folder, longer.string());
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_TRUE(fs::is_empty(longer));
}

TEST_F(LauncherRun, StartedOutsideEveryDriveTheLoginProgramGetsNoParameter) {
    fs::path elsewhere = root / "elsewhere";
    fs::create_directories(elsewhere);
    std::ofstream(driveMap) << "E:\t" << (root / "disk.img").string() << "\t0\t0\trw\t"
                            << (root / "not-here").string() << "\n";
    ASSERT_EQ(run(LAUNCHER_FULL, elsewhere, runtime.string()).exitCode, 0);
    EXPECT_EQ(awaitProbe(), "argc=0\ncwd=" + elsewhere.string() + "\n");
}

TEST_F(LauncherRun, ALoginProgramStillRunningKeepsItsFile) {
    // An earlier login program, still running from the temporary directory: its
    // file cannot be written, so that row is skipped and the earlier file stays.
    const fs::path program = runtime / "Sarvik.exe";
    fs::copy_file("/bin/sleep", program);
    chmod(program.c_str(), 0700);
    pid_t running = fork();
    if (running == 0) {
        execl(program.c_str(), "Sarvik.exe", "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(running, 0);
    // Until exec has happened the file is not yet busy.
    for (int i = 0; i < 500; ++i) {
        int fd = open(program.c_str(), O_WRONLY);
        if (fd < 0) break;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    Outcome o = run(LAUNCHER_FULL);
    kill(running, SIGKILL);
    waitpid(running, nullptr, 0);
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_NE(o.err.find("Sarvik.exe was not unpacked"), std::string::npos) << o.err;
    EXPECT_TRUE(readFile(program) == readFile("/bin/sleep"));
    // Every other row is unpacked as usual.
    EXPECT_EQ(readFile(runtime / "Quendal.dll"), readFile(CORE_FILE));
    EXPECT_EQ(fs::file_size(runtime / "FlashDisk.ini"), 56u);
}

namespace {

// The file's bytes converted from its code page; false when a byte sequence is
// not valid there.
bool decodeCodePage(const Bytes &bytes, const char *codePage, std::string &utf8) {
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
            if (line.empty() || line.back() != '\r') crlf = false;
            else line.pop_back();
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
         {"LoginFrm.caption", "LoginFrm.Label1.caption", "LoginFrm.BtnCancel.caption",
          "LoginFrm.BtnLogin.caption", "LoginFrm.BtnChangePassword.caption"}},
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
        ASSERT_TRUE(decodeCodePage(readFile(std::string(LANGUAGE_DIR) + "/" + name), codePage, text));
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
