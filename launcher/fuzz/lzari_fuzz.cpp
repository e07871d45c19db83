// Fuzz target of the LZARI decoder: any bytes, as the stored stream.
//   CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DQUENDAL_FUZZ=ON
//   cmake --build build/fuzz --target lzari_fuzz
//   build/fuzz/bin/lzari_fuzz -max_len=8192 CORPUS_DIR   (seed it with `lzari pack` outputs)
#include "lzari_fuzz.h"

#include <cstdlib>
#include <memory>
#include <vector>

#include "LzariDecoder.h"
#include "byteorder.h"

namespace {

// Counts instead of keeping: the fuzzer's budget goes into decoding.
class CountingOutput final : public lzari::ByteOutput {
public:
    bool write(const uint8_t *data, size_t len) override {
        for (size_t i = 0; i < len; ++i) checksum = checksum * 31 + data[i];
        count += len;
        return true;
    }
    size_t count = 0;
    uint32_t checksum = 0;
};

class SpanInput final : public lzari::ByteInput {
public:
    SpanInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    size_t read(uint8_t *buf, size_t cap) override {
        size_t n = size_ - pos_ < cap ? size_ - pos_ : cap;
        for (size_t i = 0; i < n; ++i) buf[i] = data_[pos_ + i];
        pos_ += n;
        return n;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

} // namespace

size_t fuzzDecode(const uint8_t *data, size_t size) {
    std::vector<uint8_t> input(data, data + size);
    uint32_t declared = 0;
    if (size >= 4) {
        declared = bo::getLE32(input.data());
        if (declared > kFuzzMaxDeclared) {
            declared = kFuzzMaxDeclared;
            bo::putLE32(input.data(), declared);
        }
    }
    SpanInput in(input.data(), input.size());
    CountingOutput out;
    auto decoder = std::make_unique<lzari::LzariDecoder>();
    lzari::DecodeResult result = decoder->decode(in, out);
    if (size < 4 && (result != lzari::DecodeResult::ReadError || out.count != 0)) std::abort();
    if (size >= 4 && (result != lzari::DecodeResult::Done || out.count != declared)) std::abort();
    if (decoder->bytesConsumed() > size) std::abort();
    return out.count;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzDecode(data, size);
    return 0;
}
