// Fuzz target: files of fuzzed names and sizes copied into a freshly built FAT
// image, as the format procedure copies the login or boot files. Every file the
// copy reports as added must be found by a FAT reader in the root directory and
// read back byte for byte, and no later file may damage an earlier one.
//
// Input: LE32 area size, one byte of layout and size class, then files:
// a name length byte, the name, and a LE32 size.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "FatImage.h"
#include "FuzzTargets.h"
#include "byteorder.h"
#include "platform/FileNames.h"

namespace fuzz {

namespace {

fat::DateTime fixedClock() { return {2026, 12, 8, 12, 0, 0}; }

constexpr uint32_t kMaxFileBytes = 256u << 10;

uint8_t contentByte(uint32_t fileSeed, uint32_t offset) {
    return uint8_t((offset * 131u + fileSeed * 7u + (offset >> 9)) & 0xFF);
}

struct Entry {
    uint32_t firstCluster = 0;
    uint32_t size = 0;
    bool found = false;
};

// The root directory as any FAT reader walks it: an entry starting with 0 ends
// the directory, one starting with E5 is deleted; a name is matched by its
// stored bytes (a leading 05 standing for E5 in both).
Entry findInRoot(const quendal::FatImage &image, const std::array<uint8_t, 11> &name) {
    Entry out;
    const bool fat32 = image.kind() == quendal::FatKind::Fat32;
    for (uint32_t i = 0; i < image.rootEntries(); ++i) {
        const uint8_t *s = image.sectorData(image.rootDirSector() + i / 16);
        uint8_t e[32] = {};
        if (s) std::memcpy(e, s + (i % 16) * 32, 32);
        if (e[0] == 0x00) break;
        if (e[0] == 0xE5) continue;
        if (e[11] & 0x08) continue; // the volume label
        if (std::memcmp(e, name.data(), 11) != 0) continue;
        out.found = true;
        out.firstCluster = bo::getLE16(e + 0x1A) | (fat32 ? uint32_t(bo::getLE16(e + 0x14)) << 16 : 0);
        out.size = bo::getLE32(e + 0x1C);
        return out;
    }
    return out;
}

// Follows the chain and compares every byte; the clusters go into used.
void checkFile(const quendal::FatImage &image, const Entry &e, uint32_t fileSeed, std::set<uint32_t> &used) {
    const uint32_t clusterBytes = image.geometry().sectorsPerCluster * 512;
    const uint32_t clusters = (e.size + clusterBytes - 1) / clusterBytes;
    if (e.size == 0) {
        FUZZ_CHECK(e.firstCluster == 0);
        return;
    }
    uint32_t c = e.firstCluster;
    uint32_t offset = 0;
    for (uint32_t k = 0; k < clusters; ++k) {
        FUZZ_CHECK(c >= 2 && c < image.clusterLimit());
        FUZZ_CHECK(used.insert(c).second); // no cluster is shared or looped
        const uint64_t first = image.clusterSector(c);
        for (uint32_t s = 0; s < image.geometry().sectorsPerCluster && offset < e.size; ++s) {
            uint8_t sector[512];
            image.readSector(uint32_t(first + s), sector);
            for (uint32_t b = 0; b < 512 && offset < e.size; ++b, ++offset)
                FUZZ_CHECK(sector[b] == contentByte(fileSeed, offset));
        }
        const uint32_t next = image.fatEntry(c);
        if (k + 1 == clusters) FUZZ_CHECK(image.isEndOfChain(next));
        c = next;
    }
}

} // namespace

void fatCopy(const uint8_t *data, size_t size) {
    if (size < 5) return;
    const uint32_t raw = bo::getLE32(data);
    const uint8_t mode = data[4];
    // Mostly small areas (fast, FAT12/FAT16), sometimes just past the FAT32 threshold.
    const uint32_t area = (mode & 0xC0) == 0xC0 ? 4'000'000 + raw % 400'000 : 1000 + raw % 70'000;
    const int layout = mode & 3;

    quendal::setFileClock(fixedClock);
    quendal::FatImage image;
    if (!quendal::BuildFatImage(image, layout, area, 6144)) {
        quendal::setFileClock(nullptr);
        return;
    }
    const bool fat32 = image.kind() == quendal::FatKind::Fat32;
    std::map<std::array<uint8_t, 11>, uint32_t> live; // short name -> content seed of the file kept
    std::vector<uint8_t> bytes;
    uint32_t fileSeed = 0;
    for (size_t pos = 5; pos < size && live.size() < 600;) {
        const size_t declared = data[pos++];
        const size_t nameLength = std::min<size_t>(declared, size - pos);
        std::string name(reinterpret_cast<const char *>(data + pos), nameLength);
        pos += nameLength;
        // Names as the original platform allows them: no control characters
        // (a leading 05 would also read back as E5).
        for (char &c : name)
            if (uint8_t(c) < 0x20) c = '_';
        uint32_t fileSize = 0;
        if (pos + 4 <= size) fileSize = bo::getLE32(data + pos) % (kMaxFileBytes + 1);
        pos += 4;
        ++fileSeed;
        bytes.resize(fileSize);
        for (uint32_t i = 0; i < fileSize; ++i) bytes[i] = contentByte(fileSeed, i);

        const uint32_t codePage = platform::fileNameCodePage();
        const auto form = fat::shortName(platform::upperAnsi(name, codePage), codePage);
        const fat::ShortName shortname = form ? form->name : fat::ShortName{};
        const uint64_t freeBefore = image.freeClusters();
        const int r = quendal::AddFileToImage(image, bytes.data(), fileSize, name);
        FUZZ_CHECK(r == 0 || r == 1);
        if (r == 1) {
            live[shortname] = fileSeed;
            const Entry e = findInRoot(image, shortname);
            FUZZ_CHECK(e.found);
            FUZZ_CHECK(e.size == fileSize);
            std::set<uint32_t> used;
            checkFile(image, e, fileSeed, used);
        } else {
            // Left out: too big for the space left, or no free root entry. A file
            // that fits is never refused while a root entry is free.
            live.erase(shortname);
            const uint64_t clusterBytes = uint64_t(image.geometry().sectorsPerCluster) * 512;
            const bool fits = uint64_t(fileSize) <= freeBefore * clusterBytes;
            // A name without a base has no 8.3 form and is always left out.
            if (form && fits && live.size() + 1 < image.rootEntries()) FUZZ_CHECK(!"a fitting file was refused");
        }
        if (fat32) {
            const uint8_t *info = image.sectorData(image.volumeStart() + 1);
            FUZZ_CHECK(info && bo::getLE32(info + 0x1E8) == image.freeClusters());
        }
    }
    // Every file kept is still whole, and no two share a cluster.
    std::set<uint32_t> used;
    for (const auto &[shortname, seed] : live) {
        const Entry e = findInRoot(image, shortname);
        FUZZ_CHECK(e.found);
        checkFile(image, e, seed, used);
    }
    quendal::setFileClock(nullptr);
}

std::vector<Input> fatCopySeeds() {
    auto file = [](Input &in, const std::string &name, uint32_t size) {
        in.push_back(uint8_t(name.size()));
        in.insert(in.end(), name.begin(), name.end());
        for (int i = 0; i < 4; ++i) in.push_back(uint8_t(size >> (8 * i)));
    };
    auto area = [](uint32_t sectors, uint8_t mode) {
        Input in;
        const uint32_t raw = sectors - 1000;
        for (int i = 0; i < 4; ++i) in.push_back(uint8_t(raw >> (8 * i)));
        in.push_back(mode);
        return in;
    };
    std::vector<Input> seeds;
    {
        Input in = area(4000, 0); // FAT12
        file(in, "Sarvik.exe", 70000);
        file(in, "1033.ini", 1200);
        file(in, "empty.txt", 0);
        file(in, "sarvik.EXE", 100); // the same short name: replaces the first
        seeds.push_back(in);
    }
    {
        Input in = area(60000, 2); // FAT16 behind a partition table
        file(in, "io.sys", 512);
        file(in, "command.com", 4096 * 3 + 1);
        file(in, "longer-than-eight.characters", 33);
        file(in, "\xE5tude.txt", 10);
        seeds.push_back(in);
    }
    {
        Input in = area(4'000'000 + 150'000, 0xC0 | 1); // FAT32
        file(in, "big.bin", 256 << 10);
        file(in, ".hidden", 1);
        file(in, "a.b.c", 2);
        seeds.push_back(in);
    }
    {
        Input in = area(1000, 0); // the smallest area: files that do not fit
        for (int i = 0; i < 8; ++i) file(in, "f" + std::to_string(i), 200000);
        seeds.push_back(in);
    }
    return seeds;
}

} // namespace fuzz
