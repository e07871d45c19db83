// lzari: packs the launcher's payload at build time, and unpacks a stored
// stream with the very decoder the launcher carries.
//   lzari pack IN OUT      IN -> 4-byte little-endian size + LZARI code
//   lzari unpack IN OUT    the reverse
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "LzariDecoder.h"
#include "LzariEncoder.h"
#include "PrivateFile.h"

namespace {

int usage() {
    std::fputs("usage: lzari pack IN OUT\n"
               "       lzari unpack IN OUT\n"
               "pack writes the size of IN as 4 bytes (little-endian), then IN coded with\n"
               "LZARI (4096-byte window, matches of 3 to 60 bytes, 15-bit arithmetic coder).\n"
               "unpack restores the file; a stream shorter than 4 bytes gives \"Read Error\".\n",
               stderr);
    return 2;
}

int packFile(const char *inPath, const char *outPath) {
    std::error_code ec;
    if (std::filesystem::file_size(inPath, ec) > 0xFFFFFFFFu && !ec) {
        std::fprintf(stderr, "lzari: %s is 4 GiB or larger; the size field holds 32 bits\n", inPath);
        return 1;
    }
    std::ifstream in(inPath, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "lzari: cannot open %s\n", inPath);
        return 1;
    }
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        std::fprintf(stderr, "lzari: cannot read %s\n", inPath);
        return 1;
    }
    if (data.size() > 0xFFFFFFFFu) {
        std::fprintf(stderr, "lzari: %s is 4 GiB or larger; the size field holds 32 bits\n", inPath);
        return 1;
    }
    std::vector<uint8_t> stored = lzari::pack(data);
    if (!lzari::writeWholeFile(outPath, stored, 0644)) {
        std::fprintf(stderr, "lzari: cannot write %s\n", outPath);
        return 1;
    }
    return 0;
}

int unpackFile(const char *inPath, const char *outPath) {
    lzari::LzariDecoder decoder;
    lzari::DecodeResult result = decoder.decodeFile(inPath, outPath);
    if (result == lzari::DecodeResult::Done) return 0;
    if (result == lzari::DecodeResult::CannotOpen)
        std::fprintf(stderr, "lzari: cannot open %s or create %s\n", inPath, outPath);
    else
        std::fprintf(stderr, "%s\n", lzari::describe(result));
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) return usage();
    if (std::strcmp(argv[1], "pack") == 0) return packFile(argv[2], argv[3]);
    if (std::strcmp(argv[1], "unpack") == 0) return unpackFile(argv[2], argv[3]);
    return usage();
}
