#include "file_io.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string scratch(const char *name) {
    fs::path dir = fs::temp_directory_path() / ("quendal-fileio-" + std::to_string(fileio::currentProcessId()));
    fs::create_directories(dir);
    fs::path p = dir / name;
    fs::remove(p);
    return p.string();
}

TEST(FileIo, PositionalWritesLandWhereAskedAndTheTailOfASparseFileReadsAsZeros) {
    std::string path = scratch("image.bin");
    fileio::File f(path, fileio::File::Mode::CreateReadWrite);
    ASSERT_TRUE(f.isOpen());
    ASSERT_TRUE(f.resize(8192));
    const uint8_t a[3] = {1, 2, 3};
    ASSERT_TRUE(f.writeAt(5000, a, 3));
    ASSERT_TRUE(f.writeAt(10, a, 3));
    EXPECT_EQ(f.size().value_or(0), 8192u);

    std::vector<uint8_t> buf(8, 0xEE);
    ASSERT_TRUE(f.readAt(4998, buf.data(), 8));
    EXPECT_EQ(buf, (std::vector<uint8_t>{0, 0, 1, 2, 3, 0, 0, 0}));

    // A plain read past the end is an error; the zero-filled one pads.
    EXPECT_FALSE(f.readAt(8190, buf.data(), 8));
    std::fill(buf.begin(), buf.end(), 0xEE);
    ASSERT_TRUE(f.readAtZeroFilled(8190, buf.data(), 8));
    EXPECT_EQ(buf, std::vector<uint8_t>(8, 0));
    EXPECT_TRUE(f.sync());
    EXPECT_TRUE(f.close());

    // Written bytes are there for a second opener, read-only opens cannot write.
    fileio::File r(path, fileio::File::Mode::Read);
    ASSERT_TRUE(r.isOpen());
    uint8_t back[3] = {};
    ASSERT_TRUE(r.readAt(10, back, 3));
    EXPECT_EQ(back[2], 3);
    EXPECT_FALSE(r.writeAt(0, a, 3));
    EXPECT_FALSE(fileio::File(path + ".missing", fileio::File::Mode::Read).isOpen());
}

TEST(FileIo, AtomicReplaceLeavesOnlyTheNewContent) {
    std::string path = scratch("device.conf");
    ASSERT_TRUE(fileio::writeFileAtomic(path, "old\n"));
    ASSERT_TRUE(fileio::writeFileAtomic(path, "new content\n"));
    std::string got;
    ASSERT_TRUE(fileio::readWholeFile(path, &got));
    EXPECT_EQ(got, "new content\n");
    int files = 0;
    for (auto &e : fs::directory_iterator(fs::path(path).parent_path()))
        files += e.path().filename().string().rfind("device.conf", 0) == 0;
    EXPECT_EQ(files, 1) << "no temporary file is left behind";
    EXPECT_FALSE(fileio::writeFileAtomic(scratch("no-such-dir") + "/x/y", "z"));
}

TEST(FileIo, WholeFilesAreReadAlsoWhenTheSystemGivesNoSize) {
    std::string path = scratch("big.bin");
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + i / 251);
    ASSERT_TRUE(fileio::writeFileAtomic(path, big));
    std::string got;
    ASSERT_TRUE(fileio::readWholeFile(path, &got));
    EXPECT_EQ(got, big);
    ASSERT_TRUE(fileio::writeFileAtomic(path, ""));
    ASSERT_TRUE(fileio::readWholeFile(path, &got));
    EXPECT_EQ(got, "");
    EXPECT_FALSE(fileio::readWholeFile(path + ".missing", &got));
#if !defined(_WIN32)
    // /proc files report size 0 yet have content.
    ASSERT_TRUE(fileio::readWholeFile("/proc/self/mountinfo", &got));
    EXPECT_NE(got.find(" / "), std::string::npos);
#endif
}

TEST(FileIo, TheLockIsHeldByOneHolderAtATime) {
    std::string path = scratch(".lock");
    std::atomic<int> inside{0};
    std::atomic<int> worst{0};
    auto work = [&] {
        for (int i = 0; i < 20; ++i) {
            fileio::ExclusiveLock lock(path);
            ASSERT_TRUE(lock.locked());
            int now = ++inside;
            worst = std::max(worst.load(), now);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            --inside;
        }
    };
    std::thread t1(work), t2(work);
    t1.join();
    t2.join();
    EXPECT_EQ(worst.load(), 1);
}

} // namespace

#include "text_io.h"

namespace {

TEST(TextIo, NumbersAndTextsAsAStreamWritesThemAndLinesWithEitherEnding) {
    textio::Builder b;
    b << "sectors=" << uint32_t(4000000000u) << '\n'
      << "delta=" << int64_t(-12) << '\t' << std::string("x") << uint8_t(7) << '\n';
    EXPECT_EQ(b.str(), "sectors=4000000000\ndelta=-12\tx7\n");

    textio::LineReader in("a=1\r\nb=2\n\nlast");
    std::string line;
    std::vector<std::string> lines;
    while (in.next(line)) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"a=1", "b=2", "", "last"}));
    textio::LineReader empty("");
    EXPECT_FALSE(empty.next(line));
}

} // namespace
