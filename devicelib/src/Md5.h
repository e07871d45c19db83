// MD5 as published in RFC 1321. The device keeps the owner's password only as
// this digest and seals a MakerTable run with it, so the library carries its
// own implementation rather than depending on a crypto library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quendal {

class Md5 {
public:
    Md5() { reset(); }
    void reset();
    void update(const void *data, size_t length);
    std::array<uint8_t, 16> finish();

private:
    void compress(const uint8_t *block, size_t blocks);

    uint32_t a_, b_, c_, d_;
    uint64_t totalBytes_;
    uint8_t pending_[64];
    size_t pendingLength_;
};

} // namespace quendal
