// The LZARI packer and decoder: round trips, hand-made streams that reach the
// decoder's corner cases, the file-to-file decoding and the lzari tool.
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "LzariDecoder.h"
#include "LzariEncoder.h"
#include "MemoryStreams.h"
#include "TestProcess.h"
#include "byteorder.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

struct Decoded {
    lzari::DecodeResult result;
    Bytes bytes;
    uint64_t consumed;
    uint64_t bitsPastEnd;
};

Decoded decode(const Bytes &stored) {
    lzari::MemoryInput in(stored);
    lzari::VectorOutput out;
    auto decoder = std::make_unique<lzari::LzariDecoder>();
    lzari::DecodeResult r = decoder->decode(in, out);
    return {r, std::move(out.bytes), decoder->bytesConsumed(), decoder->bitsPastEnd()};
}

Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

Bytes randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto &x : b) x = uint8_t(rng());
    return b;
}

// Something like a program file: runs of zeros, repeated records, text and noise.
Bytes mixedBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b;
    const std::string words[] = {"Quendal", "FlashDisk", "\r\n", "[MSGSTRING]", "password", " ", "0x"};
    while (b.size() < n) {
        switch (rng() % 4) {
        case 0: b.insert(b.end(), rng() % 300, 0); break;
        case 1: {
            const std::string &w = words[rng() % std::size(words)];
            b.insert(b.end(), w.begin(), w.end());
            break;
        }
        case 2:
            for (int i = rng() % 64; i > 0; --i) b.push_back(uint8_t(rng()));
            break;
        default:
            if (b.size() > 5000) { // a far copy, beyond the window sometimes
                size_t from = b.size() - 1 - rng() % 5000;
                size_t len = 1 + rng() % 100;
                for (size_t i = 0; i < len; ++i) b.push_back(b[from + i]);
            }
        }
    }
    b.resize(n);
    return b;
}

void expectRoundTrip(const Bytes &original) {
    Bytes stored = lzari::pack(original);
    ASSERT_GE(stored.size(), 4u);
    EXPECT_EQ(bo::getLE32(stored.data()), original.size());
    Decoded d = decode(stored);
    ASSERT_EQ(d.result, lzari::DecodeResult::Done);
    ASSERT_EQ(d.bytes.size(), original.size());
    EXPECT_TRUE(d.bytes == original) << "decoded bytes differ";
    // The packer's flush: the decoder reads every byte of the stream and needs
    // no bit beyond it.
    EXPECT_EQ(d.consumed, stored.size());
    EXPECT_EQ(d.bitsPastEnd, 0u);
    // The classic encoder ends its code up to two bytes earlier (it pads only
    // the last byte); the bits it leaves out are free, so such a stream decodes
    // the same. Ours minus its last byte is at least as long as the classic one.
    if (stored.size() > 4) {
        Bytes classic(stored.begin(), stored.end() - 1);
        EXPECT_TRUE(decode(classic).bytes == original) << "without the padding";
    }
}

} // namespace

TEST(LzariRoundTrip, EmptyTinyAndAllByteValues) {
    expectRoundTrip({});
    expectRoundTrip({0x41});
    expectRoundTrip({0x00, 0xFF});
    expectRoundTrip(text("abc"));
    expectRoundTrip(text("    ")); // the ring's own fill byte
    Bytes all(256);
    std::iota(all.begin(), all.end(), 0);
    expectRoundTrip(all);
}

TEST(LzariRoundTrip, RepetitiveInputPacksSmall) {
    expectRoundTrip(Bytes(100000, 'a'));
    // Noise repeated: as literals it costs 8 bits a byte, as matches a few bits
    // per 60 bytes, so the size shows whether the matches were found.
    Bytes block = randomBytes(1000, 4);
    Bytes repeated;
    for (int i = 0; i < 20; ++i) repeated.insert(repeated.end(), block.begin(), block.end());
    expectRoundTrip(repeated);
    EXPECT_LT(lzari::pack(repeated).size(), 2500u);

    Bytes pattern;
    for (int i = 0; i < 20000; ++i) pattern.push_back(uint8_t("0123456789abcdefg"[i % 17]));
    expectRoundTrip(pattern);
    EXPECT_LT(lzari::pack(pattern).size(), 500u);
}

TEST(LzariRoundTrip, RandomAndLargeInputs) {
    for (uint32_t seed : {1u, 2u, 3u}) expectRoundTrip(randomBytes(1 + seed * 7777, seed));
    Bytes noise = randomBytes(100000, 99);
    expectRoundTrip(noise);
    // Noise cannot shrink; the coder must not blow it up either.
    EXPECT_LT(lzari::pack(noise).size(), noise.size() + noise.size() / 50);

    // Larger than the largest payload file: many halvings of the character
    // model and positions all over the window.
    Bytes big = mixedBytes(1500000, 7);
    expectRoundTrip(big);
    EXPECT_LT(lzari::pack(big).size(), big.size() / 2);
}

namespace {

// Hands the stream over in pieces of 1 to 13 bytes, as a pipe may.
class TrickleInput final : public lzari::ByteInput {
public:
    explicit TrickleInput(const Bytes &data) : data_(data) {}
    size_t read(uint8_t *buf, size_t cap) override {
        size_t n = std::min({cap, data_.size() - pos_, size_t(1 + rng_() % 13)});
        std::copy_n(data_.begin() + long(pos_), n, buf);
        pos_ += n;
        return n;
    }

private:
    const Bytes &data_;
    size_t pos_ = 0;
    std::mt19937 rng_{11};
};

// Takes `room` bytes, then refuses.
class FullOutput final : public lzari::ByteOutput {
public:
    explicit FullOutput(size_t room) : room_(room) {}
    bool write(const uint8_t *, size_t len) override {
        if (len > room_) return false;
        room_ -= len;
        return true;
    }

private:
    size_t room_;
};

} // namespace

TEST(LzariStream, InputInPiecesOfAnySizeDecodesTheSame) {
    Bytes original = mixedBytes(300000, 12);
    Bytes stored = lzari::pack(original);
    TrickleInput in(stored);
    lzari::VectorOutput out;
    auto decoder = std::make_unique<lzari::LzariDecoder>();
    ASSERT_EQ(decoder->decode(in, out), lzari::DecodeResult::Done);
    EXPECT_TRUE(out.bytes == original);
    EXPECT_EQ(decoder->bytesConsumed(), stored.size());
    EXPECT_EQ(decoder->bitsPastEnd(), 0u);
}

TEST(LzariStream, AnOutputThatRefusesBytesIsAWriteError) {
    Bytes stored = lzari::pack(mixedBytes(200000, 13));
    for (size_t room : {size_t(0), size_t(50000)}) {
        lzari::MemoryInput in(stored);
        FullOutput out(room);
        auto decoder = std::make_unique<lzari::LzariDecoder>();
        EXPECT_EQ(decoder->decode(in, out), lzari::DecodeResult::WriteError) << room << " bytes of room";
    }
}

TEST(LzariStream, SizeZeroIsJustTheSizeField) {
    EXPECT_EQ(lzari::pack({}), Bytes(4, 0));
    // Whatever follows a zero size is never read.
    Bytes stored = {0, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF};
    Decoded d = decode(stored);
    EXPECT_EQ(d.result, lzari::DecodeResult::Done);
    EXPECT_TRUE(d.bytes.empty());
    EXPECT_EQ(d.consumed, 4u);
}

TEST(LzariStream, MatchesCopyFromTheRingAsItIsWritten) {
    // Position 0 copies from the byte just written, so a 60-byte match there
    // repeats it 60 times.
    {
        lzari::StreamWriter w(61);
        w.literal('x');
        w.match(0, 60);
        Decoded d = decode(w.finish());
        EXPECT_EQ(d.result, lzari::DecodeResult::Done);
        EXPECT_EQ(d.bytes, Bytes(61, 'x'));
    }
    // The same as the very first symbol: the byte before the first write
    // position is one of the initial spaces.
    {
        lzari::StreamWriter w(60);
        w.match(0, 60);
        EXPECT_EQ(decode(w.finish()).bytes, Bytes(60, ' '));
    }
    // A copy reaching from the initial spaces into the bytes just written.
    {
        lzari::StreamWriter w(9);
        w.literal('A');
        w.literal('B');
        w.match(3, 7); // source: 2 spaces back from 'A', then "AB", then what the copy wrote
        EXPECT_EQ(decode(w.finish()).bytes, text("AB  AB  A"));
    }
    // An overlapping copy with a period of 3.
    {
        lzari::StreamWriter w(12);
        w.literal('a');
        w.literal('b');
        w.literal('c');
        w.match(2, 9);
        EXPECT_EQ(decode(w.finish()).bytes, text("abcabcabcabc"));
    }
    // The farthest position reaches 4096 bytes back, to the write position
    // itself: at the start those are the ring's last 60 bytes, which are not
    // spaces but zeros (as the packer's ring holds them).
    {
        lzari::StreamWriter w(4);
        w.literal('z');
        w.match(4095, 3);
        EXPECT_EQ(decode(w.finish()).bytes, Bytes({'z', 0, 0, 0}));
    }
}

TEST(LzariStream, OutputNeverOutgrowsTheSizeField) {
    // A match running past the size (no packer writes one) is cut at the size.
    lzari::StreamWriter w(5);
    w.literal('q');
    w.match(0, 60);
    Decoded d = decode(w.finish());
    EXPECT_EQ(d.result, lzari::DecodeResult::Done);
    EXPECT_EQ(d.bytes, Bytes(5, 'q'));
}

TEST(LzariStream, InputShorterThanTheSizeFieldIsAReadError) {
    for (size_t n = 0; n < 4; ++n) {
        Decoded d = decode(Bytes(n, 0x01));
        EXPECT_EQ(d.result, lzari::DecodeResult::ReadError) << n << " bytes";
        EXPECT_TRUE(d.bytes.empty());
    }
    EXPECT_STREQ(lzari::describe(lzari::DecodeResult::ReadError), "Read Error");
}

TEST(LzariStream, StreamThatEndsEarlyStillYieldsTheDeclaredSize) {
    Bytes original = mixedBytes(20000, 3);
    Bytes stored = lzari::pack(original);
    for (size_t keep : {size_t(4), size_t(5), stored.size() / 2, stored.size() - 1}) {
        Bytes cut(stored.begin(), stored.begin() + long(keep));
        Decoded d = decode(cut);
        EXPECT_EQ(d.result, lzari::DecodeResult::Done);
        EXPECT_EQ(d.bytes.size(), original.size()) << "cut to " << keep;
        EXPECT_GT(d.bitsPastEnd, 0u);
    }
    // The missing bits read as ones: the same stream with ones appended decodes
    // to the very same bytes.
    Bytes cut(stored.begin(), stored.begin() + long(stored.size() / 3));
    Bytes padded = cut;
    padded.insert(padded.end(), 64, 0xFF);
    EXPECT_TRUE(decode(cut).bytes == decode(padded).bytes);
    Bytes zeroPadded = cut;
    zeroPadded.insert(zeroPadded.end(), 64, 0x00);
    EXPECT_FALSE(decode(cut).bytes == decode(zeroPadded).bytes);
    // What precedes the cut is still decoded right.
    Bytes half(stored.begin(), stored.begin() + long(stored.size() / 2));
    Decoded d = decode(half);
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + 1000, d.bytes.begin()));
}

TEST(LzariStream, PackedBytesAreStable) {
    // The stream's bytes are the contract between the packer and every decoder
    // of them, the launchers of earlier builds included. This stream (many
    // halvings of the character model, matches all over the window) was checked
    // by decoding it with an independent transcription of the algorithm; a
    // change of these figures means the format changed.
    Bytes stored = lzari::pack(mixedBytes(200000, 42));
    uint64_t hash = 1469598103934665603ull; // FNV-1a
    for (uint8_t b : stored) hash = (hash ^ b) * 1099511628211ull;
    EXPECT_EQ(stored.size(), 34032u);
    EXPECT_EQ(hash, 0x85e73046a27b0dbaull);
}

TEST(LzariModel, CharacterModelStaysAPermutationWithConsistentTotals) {
    lzari::CharModel m;
    m.start();
    EXPECT_EQ(m.total(), 314u);
    std::mt19937 rng(5);
    // Skewed choices, enough to halve the model many times over.
    for (int step = 0; step < 200000; ++step) {
        int ch = (rng() % 4 == 0) ? int(rng() % 314) : int(rng() % 8);
        m.update(m.charToSym[ch]);
        ASSERT_LT(m.total(), lzari::kQ1);
    }
    uint32_t c = 0;
    for (int sym = 314; sym >= 1; --sym) {
        ASSERT_EQ(m.symCum[sym], c) << sym;
        ASSERT_GE(m.symFreq[sym], 1u);
        if (sym < 314) {
            ASSERT_GE(m.symFreq[sym], m.symFreq[sym + 1]) << "symbols out of order";
        }
        c += m.symFreq[sym];
        ASSERT_EQ(m.charToSym[m.symToChar[sym]], sym);
    }
    EXPECT_EQ(m.symCum[0], c);
    EXPECT_EQ(m.symFreq[0], 0u);
}

namespace {

// The published decoders' binary search over a falling cumulative table: the
// first index from 1 to last whose count is at or below x.
template <class Cum> int firstAtOrBelow(const Cum &cum, int last, uint32_t x) {
    int i = 1, j = last;
    while (i < j) {
        int k = (i + j) / 2;
        if (cum[k] > x)
            i = k + 1;
        else
            j = k;
    }
    return i;
}

} // namespace

TEST(LzariModel, TheDecodersTreeFollowsTheCharacterModel) {
    // The decoder's model must find the symbol a binary search over symCum
    // finds, with the same bounds, through every swap and halving.
    lzari::CharModel m;
    lzari::CharTree t;
    m.start();
    t.start();
    std::mt19937 rng(6);
    for (int step = 0; step < 150000; ++step) {
        ASSERT_EQ(t.total(), m.total()) << "step " << step;
        if (step % 997 == 0) {
            for (int sym = 0; sym <= lzari::kCharCount; ++sym) {
                ASSERT_EQ(t.cumulative(sym), m.symCum[sym]) << "step " << step << " symbol " << sym;
                if (sym > 0) {
                    ASSERT_EQ(t.charOf(sym), m.symToChar[sym]) << "step " << step << " symbol " << sym;
                }
            }
        }
        // x past the total only comes from a damaged stream; it finds symbol 1.
        const uint32_t x = rng() % (m.total() + 3);
        const int i = firstAtOrBelow(m.symCum, lzari::kCharCount, x);
        const lzari::CharTree::Found f = t.find(x);
        ASSERT_EQ(f.sym, i) << "step " << step << " x " << x;
        ASSERT_EQ(f.upper, m.symCum[i - 1]);
        ASSERT_EQ(f.lower, m.symCum[i]);
        ASSERT_EQ(t.charOf(f.sym), m.symToChar[i]);
        const int ch = (rng() % 4 == 0) ? int(rng() % 314) : int(rng() % 8);
        const int sym = m.charToSym[ch];
        m.update(sym);
        t.update(sym);
    }
}

TEST(LzariModel, ThePositionIndexFindsWhatTheBinarySearchFinds) {
    lzari::PositionModel p;
    lzari::PositionIndex index;
    p.start();
    index.start();
    ASSERT_EQ(index.total(), p.total());
    for (uint32_t x = 0; x < p.total() + 40; ++x) {
        const int i = firstAtOrBelow(p.positionCum, lzari::kRingSize, x);
        const lzari::PositionIndex::Found f = index.find(x);
        ASSERT_EQ(f.position, i - 1) << "x " << x;
        ASSERT_EQ(f.upper, p.positionCum[i - 1]) << "x " << x;
        ASSERT_EQ(f.lower, p.positionCum[i]) << "x " << x;
    }
}

TEST(LzariModel, PositionModelTotal) {
    lzari::PositionModel p;
    p.start();
    EXPECT_EQ(p.total(), 28568u);
    EXPECT_EQ(p.positionCum[4096], 0u);
    for (int i = 0; i < 4096; ++i) ASSERT_GT(p.positionCum[i], p.positionCum[i + 1]);
}

namespace {

class TempDir : public ::testing::Test {
protected:
    void SetUp() override { dir = scratch.path(); }

    std::string path(const std::string &name) const { return (dir / name).string(); }
    static void writeFile(const std::string &p, const Bytes &b) {
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(b.data()), long(b.size()));
    }
    static Bytes readFile(const std::string &p) {
        std::ifstream in(p, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    testsupport::ScratchDir scratch{"lzari-test"};
    fs::path dir;
};

// Runs the lzari tool; returns its exit status and what it wrote. A cross-built
// test runs under Wine, where the build machine's "/" is drive Z:.
std::pair<int, std::string> runTool(const std::vector<std::string> &args) {
#ifdef _WIN32
    const std::string tool = std::string("Z:") + LZARI_TOOL;
#else
    const std::string tool = LZARI_TOOL;
#endif
    testsupport::ProcessResult r = testsupport::runProcess(tool, args);
    EXPECT_TRUE(r.started) << r.output;
    std::string out = r.output;
#ifdef _WIN32
    // Lines written in text mode end in CR LF there.
    for (size_t at; (at = out.find("\r\n")) != std::string::npos;) out.erase(at, 1);
#endif
    return {r.exitCode, out};
}

} // namespace

using LzariFiles = TempDir;

TEST_F(LzariFiles, DecodeFileReplacesAnOlderLongerFile) {
    Bytes original = mixedBytes(30000, 11);
    writeFile(path("in.lz"), lzari::pack(original));
    writeFile(path("out"), Bytes(100000, 0xEE));
    lzari::LzariDecoder decoder;
    EXPECT_EQ(decoder.decodeFile(path("in.lz"), path("out")), lzari::DecodeResult::Done);
    EXPECT_EQ(readFile(path("out")), original);
}

TEST_F(LzariFiles, DecodeFileDoesNothingWithoutItsFiles) {
    lzari::LzariDecoder decoder;
    EXPECT_EQ(decoder.decodeFile(path("missing.lz"), path("out")), lzari::DecodeResult::CannotOpen);
    EXPECT_FALSE(fs::exists(path("out")));
    writeFile(path("in.lz"), lzari::pack(text("hello")));
    EXPECT_EQ(decoder.decodeFile(path("in.lz"), path("no-such-dir/out")), lzari::DecodeResult::CannotOpen);
}

// A symbolic link at link to target; false when this system does not make one.
static bool makeLink(const fs::path &target, const fs::path &link) {
#ifdef _WIN32
    // MinGW's std::filesystem has no create_symlink. Unprivileged creation needs
    // developer mode; Wine 8 answers success and makes nothing, so the link is
    // looked for afterwards.
    CreateSymbolicLinkA(link.string().c_str(), target.string().c_str(), 0x2 /*ALLOW_UNPRIVILEGED_CREATE*/);
    DWORD attrs = GetFileAttributesA(link.string().c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT);
#else
    std::error_code ec;
    fs::create_symlink(target, link, ec);
    return !ec;
#endif
}

TEST_F(LzariFiles, DecodeFileNeverWritesThroughALinkOrIntoAPipe) {
    writeFile(path("in.lz"), lzari::pack(text("payload")));
    writeFile(path("victim"), text("keep me"));
    lzari::LzariDecoder decoder;
    if (makeLink(path("victim"), path("link"))) {
        EXPECT_EQ(decoder.decodeFile(path("in.lz"), path("link")), lzari::DecodeResult::CannotOpen);
        EXPECT_EQ(readFile(path("victim")), text("keep me"));
        // A stored stream behind a link is not read either.
        ASSERT_TRUE(makeLink(path("in.lz"), path("in-link")));
        EXPECT_EQ(decoder.decodeFile(path("in-link"), path("out")), lzari::DecodeResult::CannotOpen);
        EXPECT_FALSE(fs::exists(path("out")));
    } else {
#ifdef _WIN32
        std::printf("note: no symbolic link can be made here; links are not tried\n");
#else
        ADD_FAILURE() << "no symbolic link could be made";
#endif
    }
#ifdef _WIN32
    // A device name opens the device, not a file of that name.
    EXPECT_EQ(decoder.decodeFile(path("in.lz"), "NUL"), lzari::DecodeResult::CannotOpen);
    EXPECT_EQ(decoder.decodeFile("NUL", path("out")), lzari::DecodeResult::CannotOpen);
    EXPECT_FALSE(fs::exists(path("out")));
#else
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(decoder.decodeFile(path("in.lz"), path("fifo")), lzari::DecodeResult::CannotOpen);
    EXPECT_EQ(decoder.decodeFile(path("in.lz"), "/dev/null"), lzari::DecodeResult::CannotOpen);
#endif
    // Nor is a folder taken for a file.
    EXPECT_EQ(decoder.decodeFile(path("in.lz"), dir.string()), lzari::DecodeResult::CannotOpen);
    EXPECT_EQ(decoder.decodeFile(dir.string(), path("out")), lzari::DecodeResult::CannotOpen);
}

TEST_F(LzariFiles, DecodeFileOfAShortStreamLeavesAnEmptyOutput) {
    writeFile(path("short.lz"), {1, 2, 3});
    writeFile(path("out"), text("older content"));
    lzari::LzariDecoder decoder;
    EXPECT_EQ(decoder.decodeFile(path("short.lz"), path("out")), lzari::DecodeResult::ReadError);
    ASSERT_TRUE(fs::exists(path("out")));
    EXPECT_EQ(fs::file_size(path("out")), 0u);
}

TEST_F(LzariFiles, ToolPacksAndUnpacks) {
    Bytes original = mixedBytes(70000, 21);
    writeFile(path("plain"), original);
    auto [packRc, packErr] = runTool({"pack", path("plain"), path("plain.lz")});
    ASSERT_EQ(packRc, 0) << packErr;
    Bytes stored = readFile(path("plain.lz"));
    EXPECT_EQ(stored, lzari::pack(original));
    auto [unpackRc, unpackErr] = runTool({"unpack", path("plain.lz"), path("again")});
    ASSERT_EQ(unpackRc, 0) << unpackErr;
    EXPECT_EQ(readFile(path("again")), original);

    writeFile(path("empty"), {});
    ASSERT_EQ(runTool({"pack", path("empty"), path("empty.lz")}).first, 0);
    EXPECT_EQ(readFile(path("empty.lz")), Bytes(4, 0));
}

TEST_F(LzariFiles, ToolReportsFailures) {
    writeFile(path("short.lz"), {9, 9});
    auto [rc, err] = runTool({"unpack", path("short.lz"), path("out")});
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(err, "Read Error\n");
    ASSERT_TRUE(fs::exists(path("out")));
    EXPECT_EQ(fs::file_size(path("out")), 0u);

    EXPECT_EQ(runTool({"pack", path("missing"), path("x.lz")}).first, 1);
    EXPECT_FALSE(fs::exists(path("x.lz")));
    EXPECT_EQ(runTool({"squeeze", path("short.lz"), path("y")}).first, 2);
}
