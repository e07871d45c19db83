// Decoder input and output over memory, for the packer's checks, the fuzz
// target and the tests.
#pragma once

#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "LzariDecoder.h"

namespace lzari {

class MemoryInput final : public ByteInput {
public:
    explicit MemoryInput(std::span<const uint8_t> data) : data_(data) {}
    size_t read(uint8_t *buf, size_t cap) override {
        size_t n = std::min(cap, data_.size() - pos_);
        if (n > 0) std::memcpy(buf, data_.data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};

class VectorOutput final : public ByteOutput {
public:
    bool write(const uint8_t *data, size_t len) override {
        bytes.insert(bytes.end(), data, data + len);
        return true;
    }
    std::vector<uint8_t> bytes;
};

} // namespace lzari
