// The process helper that tests on both systems start programs with: every
// argument arrives byte for byte (the Windows command line is one string that
// the child's runtime splits again), the environment changes reach the child
// only, standard input goes in and both output streams come back, and the
// way the child ended is told apart.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestProcess.h"

using namespace testsupport;

namespace {

std::string child() {
    return (std::filesystem::path(programDirectory()) / (std::string("quendal_test_child") + kExeSuffix)).string();
}

ProcessResult runChild(const std::vector<std::string> &args, const ProcessOptions &options = {}) {
    ProcessResult r = runProcess(child(), args, options);
    EXPECT_TRUE(r.started) << r.output;
    return r;
}

} // namespace

TEST(RunProcess, ArgumentsArriveUnchanged) {
    // The cases the Windows command-line rules treat specially: blanks, quotes,
    // backslashes before a quote and at the end, empty arguments, and what a
    // shell would expand but no shell is involved.
    const std::vector<std::string> args = {"plain",
                                           "two words",
                                           "",
                                           "tab\there",
                                           "q\"uote",
                                           "\"",
                                           "trailing\\",
                                           "two\\\\",
                                           "back\\\\\"q",
                                           "C:\\dir with blank\\",
                                           "\\\\server\\share",
                                           "$HOME",
                                           "%PATH%",
                                           "'single'",
                                           "a;b&c|d",
                                           "*.txt"};
    ScratchDir cwd;
    // A match for the pattern: a runtime that expands wildcards would give it.
    std::ofstream(cwd.path() / "match.txt") << "x";
    ProcessOptions options;
    options.workingDirectory = cwd.str();
    ProcessResult r = runChild(args, options);
    std::string expected;
    for (const auto &a : args) expected += "[" + a + "]\n";
    EXPECT_EQ(r.output, expected);
    EXPECT_EQ(r.exitCode, 0);
}

TEST(RunProcess, QuotingFollowsTheRuntimesRules) {
    EXPECT_EQ(quoteWindowsArgument("plain"), "plain");
    EXPECT_EQ(quoteWindowsArgument(""), "\"\"");
    EXPECT_EQ(quoteWindowsArgument("a b"), "\"a b\"");
    // Backslashes are literal unless a quote follows.
    EXPECT_EQ(quoteWindowsArgument("a\\b c"), "\"a\\b c\"");
    EXPECT_EQ(quoteWindowsArgument("a\"b"), "\"a\\\"b\"");
    EXPECT_EQ(quoteWindowsArgument("a\\\"b"), "\"a\\\\\\\"b\"");
    EXPECT_EQ(quoteWindowsArgument("end\\ x\\"), "\"end\\ x\\\\\"");
}

TEST(RunProcess, EnvironmentChangesReachTheChildOnly) {
    ScopedEnv present("QUENDAL_TP_PRESENT", "from parent");
    ScopedEnv removed("QUENDAL_TP_REMOVED", "should go");
    unsetEnv("QUENDAL_TP_ADDED");
    ProcessOptions options;
    options.env = {{"QUENDAL_TP_ADDED", "a=b c"}, {"QUENDAL_TP_PRESENT", "replaced"}};
    options.unsetEnv = {"QUENDAL_TP_REMOVED"};
    ProcessResult r =
        runChild({"--env=QUENDAL_TP_ADDED", "--env=QUENDAL_TP_PRESENT", "--env=QUENDAL_TP_REMOVED"}, options);
    EXPECT_EQ(r.output, "QUENDAL_TP_ADDED=a=b c\nQUENDAL_TP_PRESENT=replaced\nQUENDAL_TP_REMOVED unset\n");
    EXPECT_EQ(getEnv("QUENDAL_TP_PRESENT"), "from parent");
    EXPECT_EQ(getEnv("QUENDAL_TP_REMOVED"), "should go");
    EXPECT_EQ(getEnv("QUENDAL_TP_ADDED", "none"), "none");

    // Without options the child sees what this process has set.
    r = runChild({"--env=QUENDAL_TP_PRESENT"});
    EXPECT_EQ(r.output, "QUENDAL_TP_PRESENT=from parent\n");
}

TEST(RunProcess, ScopedEnvPutsBackWhatWasThere) {
    unsetEnv("QUENDAL_TP_SCOPED");
    {
        ScopedEnv outer("QUENDAL_TP_SCOPED", "outer");
        {
            ScopedEnv inner("QUENDAL_TP_SCOPED", "inner");
            EXPECT_EQ(getEnv("QUENDAL_TP_SCOPED"), "inner");
        }
        EXPECT_EQ(getEnv("QUENDAL_TP_SCOPED"), "outer");
        EXPECT_EQ(runChild({"--env=QUENDAL_TP_SCOPED"}).output, "QUENDAL_TP_SCOPED=outer\n");
    }
    EXPECT_EQ(getEnv("QUENDAL_TP_SCOPED", "gone"), "gone");
    EXPECT_EQ(runChild({"--env=QUENDAL_TP_SCOPED"}).output, "QUENDAL_TP_SCOPED unset\n");
}

TEST(RunProcess, InputGoesInAndBothOutputsComeBack) {
    ProcessOptions options;
    options.input = "first line\nsecond line\n";
    ProcessResult r = runChild({"--stdin", "--stderr=to stderr", "after"}, options);
    EXPECT_EQ(r.output, "stdin 23:first line\nsecond line\n\nto stderr\n[after]\n");

    // No input: the child sees the end at once instead of waiting.
    r = runChild({"--stdin"});
    EXPECT_EQ(r.output, "stdin 0:\n");

    // Much output and much input at once must not stall either side.
    options.input = std::string(300'000, 'i');
    r = runChild({"--bulk=1000000", "--stdin"}, options);
    ASSERT_EQ(r.output.size(), 1'000'000u + std::string("stdin 300000:\n").size() + 300'000u);
    EXPECT_EQ(r.output.substr(0, 1'000'000), std::string(1'000'000, 'x'));
    EXPECT_EQ(r.exitCode, 0);
}

TEST(RunProcess, HowTheChildEndedIsToldApart) {
    ProcessResult r = runChild({"--exit=7"});
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_FALSE(r.crashed);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(runChild({"--exit=255"}).exitCode, 255);

    r = runChild({"before", "--crash", "after"});
    EXPECT_TRUE(r.crashed);
    EXPECT_EQ(r.exitCode, -1);
    EXPECT_EQ(r.output, "[before]\n");

    ProcessOptions quick;
    quick.timeout = std::chrono::milliseconds(300);
    const auto start = std::chrono::steady_clock::now();
    r = runChild({"--sleep=20000"}, quick);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.exitCode, -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));

    ScratchDir dir;
    r = runProcess(dir / (std::string("absent") + kExeSuffix), {});
    EXPECT_FALSE(r.started);
    EXPECT_FALSE(r.output.empty());
}

TEST(RunProcess, RunsInTheFolderAsked) {
    ScratchDir dir;
    ProcessOptions options;
    options.workingDirectory = dir.str();
    ProcessResult r = runChild({"--cwd"}, options);
    ASSERT_EQ(r.output.rfind("cwd ", 0), 0u) << r.output;
    std::string cwd = r.output.substr(4);
    cwd.pop_back();
    EXPECT_TRUE(std::filesystem::equivalent(cwd, dir.path())) << cwd;
}

TEST(ScratchDirs, AreNewEmptyAndGoneAfterwards) {
    std::filesystem::path kept;
    std::filesystem::path first;
    {
        ScratchDir a("quendal-tp"), b("quendal-tp");
        EXPECT_NE(a.path(), b.path());
        EXPECT_TRUE(std::filesystem::is_directory(a.path()));
        EXPECT_TRUE(std::filesystem::is_empty(a.path()));
        EXPECT_EQ(a.path().filename().string().rfind("quendal-tp-", 0), 0u);
        std::ofstream(a / "file") << "content";
        std::filesystem::create_directories(a.path() / "sub" / "deeper");
        first = a.path();
        b.keep();
        kept = b.path();
    }
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_TRUE(std::filesystem::exists(kept));
    std::filesystem::remove_all(kept);
}
