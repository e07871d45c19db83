// The shell's "open": the program starts detached with its one parameter, and
// a program that cannot start is reported as such.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/Shell.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/Paths.h"
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

#ifndef _WIN32
namespace {

class ShellOpen : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/shell-open-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    // A program that records its arguments, and its parent, once it has them.
    fs::path recorder() {
        fs::path script = dir / "record.sh";
        std::ofstream(script) << "#!/bin/sh\n"
                                 "printf '%s|' \"$#\" \"$@\" > \"$0.tmp\"\n"
                                 "echo \"$PPID\" >> \"$0.tmp\"\n"
                                 "mv \"$0.tmp\" \"$0.out\"\n";
        chmod(script.c_str(), 0700);
        return script;
    }

    std::string awaitRecord(const fs::path &script) {
        fs::path out = script.string() + ".out";
        for (int i = 0; i < 1000 && !fs::exists(out); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(out);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    fs::path dir;
};

} // namespace

TEST_F(ShellOpen, StartsTheProgramWithItsOneParameterDetached) {
    fs::path script = recorder();
    ASSERT_TRUE(platform::shellOpen(script.string(), "E:\\"));
    std::string record = awaitRecord(script);
    ASSERT_EQ(record.rfind("1|E:\\|", 0), 0u) << record;
    // Not our child: nobody here has to wait for it.
    EXPECT_NE(std::stol(record.substr(6)), long(getpid()));
}

TEST_F(ShellOpen, ProgramsThatCannotStartAreReported) {
    EXPECT_FALSE(platform::shellOpen((dir / "missing").string(), "E:\\"));
    fs::path plain = dir / "plain.txt";
    std::ofstream(plain) << "not a program";
    chmod(plain.c_str(), 0600);
    EXPECT_FALSE(platform::shellOpen(plain.string(), ""));
    EXPECT_FALSE(platform::shellOpen("", ""));
}
#else

namespace {

constexpr const char kRecordEnv[] = "PLATFORM_SHELL_RECORD";

std::string awaitFile(const fs::path &file) {
    for (int i = 0; i < 3000 && !fs::exists(file); ++i) Sleep(10);
    std::ifstream in(file);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

// The program started by the test below: this test program again, which notes
// its command line and its process id where the variable says.
TEST(ShellOpen, RecorderChild) {
    const char *record = std::getenv(kRecordEnv);
    if (!record) GTEST_SKIP() << "runs only when started by StartsTheProgramWithItsParameter";
    fs::path out = record;
    {
        std::ofstream tmp(out.string() + ".tmp");
        tmp << GetCommandLineA() << "|" << GetCurrentProcessId();
    }
    fs::rename(out.string() + ".tmp", out);
}

TEST(ShellOpen, StartsTheProgramWithItsParameter) {
    if (std::getenv(kRecordEnv)) GTEST_SKIP() << "parent only";
    fs::path dir = fs::temp_directory_path() / ("shell-open-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(dir);
    fs::path record = dir / "record.txt";
    _putenv_s(kRecordEnv, record.string().c_str());
    bool started = platform::shellOpen(platform::executablePath(), "--gtest_filter=ShellOpen.RecorderChild E:\\");
    _putenv_s(kRecordEnv, "");
    ASSERT_TRUE(started);
    std::string text = awaitFile(record);
    EXPECT_NE(text.find("--gtest_filter=ShellOpen.RecorderChild E:\\|"), std::string::npos) << text;
    size_t bar = text.rfind('|');
    ASSERT_NE(bar, std::string::npos) << text;
    EXPECT_NE(std::stoul(text.substr(bar + 1)), GetCurrentProcessId()) << "a process of its own";
    Sleep(200); // let the child leave before its folder goes
    std::error_code ec;
    fs::remove_all(dir, ec);
}

TEST(ShellOpen, ProgramsThatCannotStartAreReported) {
    fs::path missing = fs::temp_directory_path() / "no-such-folder-quendal" / "missing.exe";
    EXPECT_FALSE(platform::shellOpen(missing.string(), "E:\\"));
    EXPECT_FALSE(platform::shellOpen("", ""));
    EXPECT_FALSE(platform::shellExplore(""));
    EXPECT_FALSE(platform::shellExplore((fs::temp_directory_path() / "no-such-folder-quendal").string()));
}
#endif
