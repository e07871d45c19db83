// Writes the seed corpus of every fuzz target (or of the ones named) into
// DIR/<target>/seed-<n>, for libFuzzer runs: make_corpus DIR [target...]
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "FuzzTargets.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR [target...]\n", argv[0]);
        return 2;
    }
    const std::filesystem::path root = argv[1];
    int written = 0;
    for (const fuzz::Target &t : fuzz::targets()) {
        bool wanted = argc == 2;
        for (int i = 2; i < argc; ++i) wanted = wanted || t.name == std::string(argv[i]);
        if (!wanted) continue;
        const std::filesystem::path dir = root / t.name;
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        int n = 0;
        for (const fuzz::Input &seed : t.seeds()) {
            std::ofstream out(dir / ("seed-" + std::to_string(n++)), std::ios::binary);
            out.write(reinterpret_cast<const char *>(seed.data()), std::streamsize(seed.size()));
            if (!out) {
                std::fprintf(stderr, "cannot write %s\n", dir.c_str());
                return 1;
            }
            ++written;
        }
    }
    std::printf("%d seed files under %s\n", written, root.c_str());
    return written > 0 ? 0 : 1;
}
