// The LZARI decoder's fuzz entry point, shared by the libFuzzer build and the
// corpus test that runs it with the normal compiler.
#pragma once

#include <cstddef>
#include <cstdint>

// Size fields above this are lowered to it before decoding, so that a 4-byte
// input cannot ask for 4 GiB of work; the code paths are the same.
constexpr uint32_t kFuzzMaxDeclared = 1u << 16;

// Decodes data and returns the number of bytes produced; aborts when the
// decoder breaks one of its promises (more bytes than the size field, a size
// other than the declared one on success, a short input not reported).
size_t fuzzDecode(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
