// Runs the decoder's fuzz entry point over a generated corpus: packed streams,
// the same with flipped bits, cut short or with other size fields, and noise.
// Under the sanitizer build any out-of-bounds access fails the test; the entry
// point itself aborts when the output size breaks the size field's promise.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "LzariEncoder.h"
#include "byteorder.h"
#include "lzari_fuzz.h"

using Bytes = std::vector<uint8_t>;

namespace {

std::vector<Bytes> seeds() {
    std::mt19937 rng(2024);
    std::vector<Bytes> plain;
    plain.push_back({});
    plain.push_back({'a'});
    plain.push_back(Bytes(3000, 'a'));
    Bytes textLike;
    const char *words[] = {"LoginFrm.caption=", "Keyvane", "\r\n", "[MSGSTRING]", "PWDERR="};
    while (textLike.size() < 20000) {
        const char *w = words[rng() % 5];
        textLike.insert(textLike.end(), w, w + std::char_traits<char>::length(w));
    }
    plain.push_back(textLike);
    Bytes noise(8000);
    for (auto &b : noise) b = uint8_t(rng());
    plain.push_back(noise);
    std::vector<Bytes> stored;
    for (const Bytes &p : plain) stored.push_back(lzari::pack(p));
    return stored;
}

} // namespace

TEST(LzariFuzzCorpus, PackedSeedsDecodeToTheirDeclaredSize) {
    for (const Bytes &s : seeds()) EXPECT_EQ(fuzzDecode(s.data(), s.size()), bo::getLE32(s.data()));
}

TEST(LzariFuzzCorpus, DamagedStreamsStayInBounds) {
    std::mt19937 rng(77);
    for (const Bytes &seed : seeds()) {
        for (int round = 0; round < 60; ++round) {
            Bytes m = seed;
            switch (round % 4) {
            case 0: // flipped bits in the code
                for (int k = 0; k < 1 + round % 7 && m.size() > 4; ++k)
                    m[4 + rng() % (m.size() - 4)] ^= uint8_t(1u << (rng() % 8));
                break;
            case 1: // cut short, down to below the size field
                m.resize(rng() % (m.size() + 1));
                break;
            case 2: // another size field, larger or smaller than the code holds
                bo::putLE32(m.data(), uint32_t(rng() % 70000));
                break;
            default: // bytes inserted into the code
                m.insert(m.begin() + long(4 + rng() % (m.size() - 3)), uint8_t(rng()));
            }
            size_t declared = m.size() >= 4 ? std::min(bo::getLE32(m.data()), kFuzzMaxDeclared) : 0;
            EXPECT_EQ(LLVMFuzzerTestOneInput(m.data(), m.size()), 0);
            EXPECT_EQ(fuzzDecode(m.data(), m.size()), declared);
        }
    }
}

TEST(LzariFuzzCorpus, NoiseAndHugeSizeFields) {
    std::mt19937 rng(5);
    for (int i = 0; i < 300; ++i) {
        Bytes m(rng() % 600);
        for (auto &b : m) b = uint8_t(rng());
        if (m.size() >= 4) bo::putLE32(m.data(), uint32_t(rng() % 40000));
        size_t declared = m.size() >= 4 ? bo::getLE32(m.data()) : 0;
        EXPECT_EQ(fuzzDecode(m.data(), m.size()), declared);
    }
    // Size fields near 4 GiB are lowered by the entry point, not decoded in full.
    Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0x34};
    EXPECT_EQ(fuzzDecode(huge.data(), huge.size()), kFuzzMaxDeclared);
}
