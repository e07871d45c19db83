// MD5 (RFC 1321). The rounds are written out in full: the digest seals every
// MakerTable run and checks every login, and the unrolled form keeps it close
// to the throughput of tuned libraries without any allocation per block.
#include "Md5.h"

#include <cstring>

#include "Internal.h"
#include "byteorder.h"

namespace quendal {

namespace {

inline uint32_t rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

// F is written as ((c ^ d) & b) ^ d and G as ((b ^ c) & d) ^ c: the same
// functions as the RFC's, with one operation less on the critical path.
#define MD5_STEP(f, a, b, c, d, x, t, s)                                                                               \
    a += f(b, c, d) + (x) + (t);                                                                                       \
    a = rotl(a, s) + (b);

#define MD5_F(b, c, d) ((((c) ^ (d)) & (b)) ^ (d))
#define MD5_G(b, c, d) ((((b) ^ (c)) & (d)) ^ (c))
#define MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))

} // namespace

void Md5::reset() {
    a_ = 0x67452301u;
    b_ = 0xefcdab89u;
    c_ = 0x98badcfeu;
    d_ = 0x10325476u;
    totalBytes_ = 0;
    pendingLength_ = 0;
}

void Md5::compress(const uint8_t *p, size_t blocks) {
    uint32_t a = a_, b = b_, c = c_, d = d_;
    for (; blocks; --blocks, p += 64) {
        // The message words are little-endian whatever the host's order.
        uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = bo::getLE32(p + 4 * i);
        const uint32_t sa = a, sb = b, sc = c, sd = d;

        MD5_STEP(MD5_F, a, b, c, d, x[0], 0xd76aa478u, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[1], 0xe8c7b756u, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[2], 0x242070dbu, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[3], 0xc1bdceeeu, 22)
        MD5_STEP(MD5_F, a, b, c, d, x[4], 0xf57c0fafu, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[5], 0x4787c62au, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[6], 0xa8304613u, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[7], 0xfd469501u, 22)
        MD5_STEP(MD5_F, a, b, c, d, x[8], 0x698098d8u, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[9], 0x8b44f7afu, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[10], 0xffff5bb1u, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[11], 0x895cd7beu, 22)
        MD5_STEP(MD5_F, a, b, c, d, x[12], 0x6b901122u, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[13], 0xfd987193u, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[14], 0xa679438eu, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[15], 0x49b40821u, 22)

        MD5_STEP(MD5_G, a, b, c, d, x[1], 0xf61e2562u, 5)
        MD5_STEP(MD5_G, d, a, b, c, x[6], 0xc040b340u, 9)
        MD5_STEP(MD5_G, c, d, a, b, x[11], 0x265e5a51u, 14)
        MD5_STEP(MD5_G, b, c, d, a, x[0], 0xe9b6c7aau, 20)
        MD5_STEP(MD5_G, a, b, c, d, x[5], 0xd62f105du, 5)
        MD5_STEP(MD5_G, d, a, b, c, x[10], 0x02441453u, 9)
        MD5_STEP(MD5_G, c, d, a, b, x[15], 0xd8a1e681u, 14)
        MD5_STEP(MD5_G, b, c, d, a, x[4], 0xe7d3fbc8u, 20)
        MD5_STEP(MD5_G, a, b, c, d, x[9], 0x21e1cde6u, 5)
        MD5_STEP(MD5_G, d, a, b, c, x[14], 0xc33707d6u, 9)
        MD5_STEP(MD5_G, c, d, a, b, x[3], 0xf4d50d87u, 14)
        MD5_STEP(MD5_G, b, c, d, a, x[8], 0x455a14edu, 20)
        MD5_STEP(MD5_G, a, b, c, d, x[13], 0xa9e3e905u, 5)
        MD5_STEP(MD5_G, d, a, b, c, x[2], 0xfcefa3f8u, 9)
        MD5_STEP(MD5_G, c, d, a, b, x[7], 0x676f02d9u, 14)
        MD5_STEP(MD5_G, b, c, d, a, x[12], 0x8d2a4c8au, 20)

        MD5_STEP(MD5_H, a, b, c, d, x[5], 0xfffa3942u, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[8], 0x8771f681u, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[11], 0x6d9d6122u, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[14], 0xfde5380cu, 23)
        MD5_STEP(MD5_H, a, b, c, d, x[1], 0xa4beea44u, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[4], 0x4bdecfa9u, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[7], 0xf6bb4b60u, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[10], 0xbebfbc70u, 23)
        MD5_STEP(MD5_H, a, b, c, d, x[13], 0x289b7ec6u, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[0], 0xeaa127fau, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[3], 0xd4ef3085u, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[6], 0x04881d05u, 23)
        MD5_STEP(MD5_H, a, b, c, d, x[9], 0xd9d4d039u, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[12], 0xe6db99e5u, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[15], 0x1fa27cf8u, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[2], 0xc4ac5665u, 23)

        MD5_STEP(MD5_I, a, b, c, d, x[0], 0xf4292244u, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[7], 0x432aff97u, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[14], 0xab9423a7u, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[5], 0xfc93a039u, 21)
        MD5_STEP(MD5_I, a, b, c, d, x[12], 0x655b59c3u, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[3], 0x8f0ccc92u, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[10], 0xffeff47du, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[1], 0x85845dd1u, 21)
        MD5_STEP(MD5_I, a, b, c, d, x[8], 0x6fa87e4fu, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[15], 0xfe2ce6e0u, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[6], 0xa3014314u, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[13], 0x4e0811a1u, 21)
        MD5_STEP(MD5_I, a, b, c, d, x[4], 0xf7537e82u, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[11], 0xbd3af235u, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[2], 0x2ad7d2bbu, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[9], 0xeb86d391u, 21)

        a += sa;
        b += sb;
        c += sc;
        d += sd;
    }
    a_ = a;
    b_ = b;
    c_ = c;
    d_ = d;
}

void Md5::update(const void *data, size_t length) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    totalBytes_ += length;
    if (pendingLength_) {
        size_t take = 64 - pendingLength_;
        if (take > length) take = length;
        std::memcpy(pending_ + pendingLength_, p, take);
        pendingLength_ += take;
        p += take;
        length -= take;
        if (pendingLength_ < 64) return;
        compress(pending_, 1);
        pendingLength_ = 0;
    }
    if (length >= 64) {
        compress(p, length / 64);
        p += length & ~size_t(63);
        length &= 63;
    }
    if (length) {
        std::memcpy(pending_, p, length);
        pendingLength_ = length;
    }
}

std::array<uint8_t, 16> Md5::finish() {
    // Padding: one 0x80 byte, zeros up to 56 mod 64, then the bit length (LE).
    const uint64_t bits = totalBytes_ * 8;
    uint8_t tail[72] = {0x80};
    size_t padLength = (pendingLength_ < 56 ? 56 : 120) - pendingLength_;
    bo::putLE32(tail + padLength, uint32_t(bits));
    bo::putLE32(tail + padLength + 4, uint32_t(bits >> 32));
    update(tail, padLength + 8);

    std::array<uint8_t, 16> out{};
    bo::putLE32(out.data(), a_);
    bo::putLE32(out.data() + 4, b_);
    bo::putLE32(out.data() + 8, c_);
    bo::putLE32(out.data() + 12, d_);
    reset();
    return out;
}

Digest md5(const void *data, size_t length) {
    Md5 m;
    m.update(data, length);
    return m.finish();
}

Digest loginDigest(const char *password) {
    // The password's bytes without the terminating NUL: no salt, no case folding.
    return md5(password, password ? std::strlen(password) : 0);
}

} // namespace quendal
