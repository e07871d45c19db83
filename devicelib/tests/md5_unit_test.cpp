// Our MD5 against the RFC 1321 test suite and against digests taken with
// md5sum(1) at the padding boundaries, fed whole and in awkward pieces.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "Internal.h"
#include "Md5.h"

namespace {

std::string hex(const std::array<uint8_t, 16> &d) {
    std::string s;
    char b[3];
    for (uint8_t v : d) {
        std::snprintf(b, sizeof b, "%02x", v);
        s += b;
    }
    return s;
}

std::string md5Hex(const std::string &text) { return hex(quendal::md5(text.data(), text.size())); }

TEST(Md5, Rfc1321TestSuiteAndPaddingBoundaries) {
    EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5Hex(std::string("1234567890") + "1234567890123456789012345678901234567890" +
                     "123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");

    // Either side of the length field no longer fitting the last block (md5sum).
    const std::pair<size_t, const char *> runs[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
        {63, "b06521f39153d618550606be297466d5"},  {64, "014842d480b571495a4a0363793f7367"},
        {65, "c743a45e0d2e6a95cb859adae0248435"},  {119, "8a7bd0732ed6a28ce75f6dabc90e1613"},
        {120, "5f61c0ccad4cac44c75ff505e1f1e537"},
    };
    for (const auto &[n, expected] : runs) EXPECT_EQ(md5Hex(std::string(n, 'a')), expected) << n;
}

TEST(Md5, PiecewiseEqualsWholeAndContextStartsAfresh) {
    const std::string million(1'000'000, 'a');
    quendal::Md5 m;
    // Pieces of 1 to 130 bytes cross every offset within a block.
    for (size_t pos = 0, piece = 1; pos < million.size(); ++piece) {
        const size_t take = std::min(piece % 131, million.size() - pos);
        m.update(million.data() + pos, take);
        pos += take;
    }
    EXPECT_EQ(hex(m.finish()), "7707d6ae4e027c70eea2a935c2296f21");
    m.update("abc", 3);
    EXPECT_EQ(hex(m.finish()), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(LoginDigest, IsTheDigestOfThePasswordBytesOnly) {
    EXPECT_EQ(hex(quendal::loginDigest("abc")), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_NE(quendal::loginDigest("Secret"), quendal::loginDigest("secret"));
    EXPECT_NE(quendal::loginDigest("secret "), quendal::loginDigest("secret"));
}

} // namespace
