// The shell's "open": the program starts detached with its one parameter, and
// a program that cannot start is reported as such.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/Shell.h"

namespace fs = std::filesystem;

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
        for (int i = 0; i < 1000 && !fs::exists(out); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
