// CPU time of the launcher's LZARI decoder beside the plain 1989 decoder
// (PlainLzariDecoder.h), both in this one process on the same streams:
//   - an executable-like stream: the first 454,144 bytes (the size of the
//     largest payload file) of a program of this build, Sarvik.exe beside this
//     bench when it is there, this bench itself otherwise, or FILE;
//   - a mixed stream of about 7 MB: slices of that program, text, noise, runs of
//     zeros and repeated records.
// Both are packed with our packer. The two decoders take turns, RUNS times each
// (default 7), and every output is checked against the original byte for byte.
// The figure is the median CPU time of this thread per decode; the ratio
// ours / plain is what counts on a shared machine, where wall time mostly
// measures the wait for a core.
//   lzari_decode_bench [--runs N] [--exe FILE]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "LzariDecoder.h"
#include "LzariEncoder.h"
#include "MemoryStreams.h"
#include "PlainLzariDecoder.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr size_t kExecutableBytes = 454'144;
constexpr size_t kMixedBytes = 7 * 1024 * 1024;

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

Bytes readFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Slices of a program, INI-like text, noise, zeros and records repeated from
// further back than the window reaches, in the proportions of a disk's files.
Bytes mixedStream(const Bytes &program, size_t size) {
    std::mt19937 rng(2024);
    const char *words[] = {"[MSGSTRING]\r\n",         "FORMATOK=", "Quendal", "FlashDisk",  "password", "\r\n",
                           "Please replug the disk.", " ",         "0x",      "Secure area"};
    Bytes b;
    b.reserve(size + 70'000);
    while (b.size() < size) {
        switch (rng() % 5) {
        case 0: {
            size_t len = 4096 + rng() % 60'000;
            size_t from = rng() % (program.size() - std::min(len, program.size() - 1));
            len = std::min(len, program.size() - from);
            b.insert(b.end(), program.begin() + long(from), program.begin() + long(from + len));
            break;
        }
        case 1:
            for (int n = 200 + int(rng() % 2000); n > 0; --n) {
                const char *w = words[rng() % std::size(words)];
                b.insert(b.end(), w, w + std::strlen(w));
            }
            break;
        case 2:
            for (int n = int(rng() % 8000); n > 0; --n) b.push_back(uint8_t(rng()));
            break;
        case 3: b.insert(b.end(), rng() % 5000, 0); break;
        default:
            if (b.size() > 10'000) {
                size_t len = 100 + rng() % 3000;
                size_t from = b.size() - 5000 - rng() % 5000;
                for (size_t i = 0; i < len; ++i) b.push_back(b[from + i]);
            }
        }
    }
    b.resize(size);
    return b;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool measure(const char *name, const Bytes &original, int runs) {
    double t0 = threadCpuSeconds();
    const Bytes stored = lzari::pack(original);
    double packSeconds = threadCpuSeconds() - t0;
    std::printf("%s: %zu bytes, packed to %zu (%.1f%%) in %.2f s\n", name, original.size(), stored.size(),
                100.0 * double(stored.size()) / double(original.size()), packSeconds);

    std::vector<double> ours, plain;
    lzari::VectorOutput ourOut;
    Bytes plainOut;
    // One decode each before timing, so that both start with warm caches and
    // pages already mapped for their outputs.
    for (int run = -1; run < runs; ++run) {
        ourOut.bytes.clear();
        ourOut.bytes.reserve(original.size());
        auto decoder = std::make_unique<lzari::LzariDecoder>();
        lzari::MemoryInput in(stored);
        double a = threadCpuSeconds();
        lzari::DecodeResult result = decoder->decode(in, ourOut);
        double b = threadCpuSeconds();
        auto peer = std::make_unique<plainlzari::PlainDecoder>();
        bool ok = peer->decode(stored, plainOut);
        double c = threadCpuSeconds();
        if (result != lzari::DecodeResult::Done || ourOut.bytes != original) {
            std::fprintf(stderr, "%s: our decoder's output differs from the original\n", name);
            return false;
        }
        if (!ok || plainOut != original) {
            std::fprintf(stderr, "%s: the plain decoder's output differs from the original\n", name);
            return false;
        }
        if (run < 0) continue;
        ours.push_back(b - a);
        plain.push_back(c - b);
    }
    double o = median(ours), p = median(plain);
    std::printf("  ours  %8.2f ms  (%6.1f MB/s)\n", o * 1e3, double(original.size()) / o / 1e6);
    std::printf("  plain %8.2f ms  (%6.1f MB/s)\n", p * 1e3, double(original.size()) / p / 1e6);
    std::printf("  ours / plain CPU time %.3f  (plain is %.2fx ours)\n", o / p, p / o);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    int runs = 7;
    fs::path exe;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--exe") == 0 && i + 1 < argc) {
            exe = argv[++i];
        } else {
            std::fprintf(stderr, "usage: lzari_decode_bench [--runs N] [--exe FILE]\n");
            return 2;
        }
    }
    if (runs < 1) runs = 1;
    const fs::path self = fs::read_symlink("/proc/self/exe");
    if (exe.empty()) exe = fs::exists(self.parent_path() / "Sarvik.exe") ? self.parent_path() / "Sarvik.exe" : self;
    Bytes program = readFile(exe);
    if (program.size() < 65536) {
        std::fprintf(stderr, "lzari_decode_bench: %s is missing or smaller than 64 KiB\n", exe.c_str());
        return 1;
    }
    Bytes executable(program.begin(), program.begin() + long(std::min(program.size(), kExecutableBytes)));
    std::printf("program: %s, %d timed decodes of each stream by each decoder\n", exe.c_str(), runs);
    bool ok = measure("executable", executable, runs);
    ok = measure("mixed", mixedStream(program, kMixedBytes), runs) && ok;
    return ok ? 0 : 1;
}
