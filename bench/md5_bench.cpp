// Throughput of our MD5 beside OpenSSL's on the sizes the library digests: a
// table run (512 bytes up to 17 sectors) and a large buffer (64 KiB). Run:
//   build/bin/md5_bench
// Bytes per second of both appear side by side; ours should keep up.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <vector>

#include "Md5.h"

namespace {

std::vector<uint8_t> input(size_t n) {
    std::vector<uint8_t> v(n);
    uint32_t x = 0x12345678u;
    for (auto &b : v) {
        x = x * 1664525u + 1013904223u;
        b = uint8_t(x >> 24);
    }
    return v;
}

void BM_Md5Ours(benchmark::State &state) {
    const auto data = input(size_t(state.range(0)));
    quendal::Md5 md5;
    for (auto _ : state) {
        md5.update(data.data(), data.size());
        auto d = md5.finish();
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_Md5OpenSsl(benchmark::State &state) {
    const auto data = input(size_t(state.range(0)));
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    const EVP_MD *md = EVP_md5();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLength = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, data.data(), data.size());
        EVP_DigestFinal_ex(ctx, out, &outLength);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

} // namespace

BENCHMARK(BM_Md5Ours)->Arg(512)->Arg(64 * 1024);
BENCHMARK(BM_Md5OpenSsl)->Arg(512)->Arg(64 * 1024);

BENCHMARK_MAIN();
