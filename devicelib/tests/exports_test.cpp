// The built Quendal.dll exports exactly the 28 names of its public header and
// nothing else: hosts bind by name, and any further name (a helper, a template
// instance of the standard library) is an interface nobody agreed to. The ELF
// dynamic symbol table, or the PE export directory of the Windows build, is
// read here directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "QuendalLib.h"
#include "byteorder.h"

namespace {

uint64_t getLE64(const uint8_t *p) { return uint64_t(bo::getLE32(p)) | (uint64_t(bo::getLE32(p + 4)) << 32); }

// ELF64 little-endian layout, by offset.
constexpr size_t kShOffField = 0x28;     // e_shoff, 8 bytes
constexpr size_t kShEntSizeField = 0x3A; // e_shentsize, 2 bytes
constexpr size_t kShNumField = 0x3C;     // e_shnum, 2 bytes
constexpr size_t kSecType = 4, kSecOffset = 24, kSecSize = 32, kSecLink = 40, kSecEntSize = 56;
constexpr uint32_t kSectionDynSym = 11;
constexpr size_t kSymName = 0, kSymInfo = 4, kSymSectionIndex = 6;
constexpr uint8_t kBindGlobal = 1, kBindWeak = 2, kBindUnique = 10;

struct Section {
    uint32_t type;
    uint64_t offset, size, entsize;
    uint32_t link;
};

// Names the object defines and offers to others (global, weak or unique binding,
// not undefined), or an error text in *error.
std::set<std::string> exportedNames(const std::vector<uint8_t> &file, std::string *error) {
    std::set<std::string> names;
    auto fail = [&](const char *why) {
        *error = why;
        return std::set<std::string>{};
    };
    if (file.size() < 64 || file[0] != 0x7F || file[1] != 'E' || file[2] != 'L' || file[3] != 'F')
        return fail("not an ELF file");
    if (file[4] != 2 || file[5] != 1) return fail("not a little-endian 64-bit ELF file");

    uint64_t shoff = getLE64(&file[kShOffField]);
    uint16_t shentsize = bo::getLE16(&file[kShEntSizeField]);
    uint16_t shnum = bo::getLE16(&file[kShNumField]);
    if (shentsize < 64 || shoff + uint64_t(shnum) * shentsize > file.size()) return fail("bad section table");

    std::vector<Section> sections;
    for (uint16_t i = 0; i < shnum; ++i) {
        const uint8_t *s = &file[shoff + uint64_t(i) * shentsize];
        sections.push_back({bo::getLE32(s + kSecType), getLE64(s + kSecOffset), getLE64(s + kSecSize),
                            getLE64(s + kSecEntSize), bo::getLE32(s + kSecLink)});
    }
    bool found = false;
    for (const Section &dynsym : sections) {
        if (dynsym.type != kSectionDynSym) continue;
        found = true;
        if (dynsym.entsize < 24 || dynsym.link >= sections.size() || dynsym.offset + dynsym.size > file.size())
            return fail("bad .dynsym");
        const Section &strtab = sections[dynsym.link];
        if (strtab.offset + strtab.size > file.size()) return fail("bad .dynstr");
        for (uint64_t off = dynsym.offset; off + dynsym.entsize <= dynsym.offset + dynsym.size; off += dynsym.entsize) {
            const uint8_t *sym = &file[off];
            uint8_t bind = sym[kSymInfo] >> 4;
            uint16_t shndx = bo::getLE16(sym + kSymSectionIndex);
            uint32_t name = bo::getLE32(sym + kSymName);
            if (shndx == 0 || name == 0 || name >= strtab.size) continue;
            if (bind != kBindGlobal && bind != kBindWeak && bind != kBindUnique) continue;
            const char *text = reinterpret_cast<const char *>(&file[strtab.offset + name]);
            names.insert(std::string(text, strnlen(text, size_t(strtab.size - name))));
        }
    }
    if (!found) return fail("no .dynsym section");
    return names;
}

// PE32+ layout, by offset.
constexpr size_t kPeOffsetField = 0x3C;                                     // e_lfanew in the DOS header
constexpr size_t kCoffSections = 6, kCoffOptionalSize = 20, kCoffSize = 24; // from "PE\0\0"
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr size_t kOptExportDirectory = 112; // data directory 0 of a PE32+ optional header
constexpr size_t kSectionHeaderSize = 40, kSecVirtualSize = 8, kSecVirtualAddress = 12, kSecRawSize = 16,
                 kSecRawOffset = 20;
constexpr size_t kExpFunctionCount = 20, kExpNameCount = 24, kExpFunctions = 28, kExpNames = 32;

// Every name in the export directory, plus "#<ordinal>" for an export that has
// no name (a name only an ordinal reaches is still an interface), or an error.
std::set<std::string> peExportedNames(const std::vector<uint8_t> &file, std::string *error) {
    auto fail = [&](const char *why) {
        *error = why;
        return std::set<std::string>{};
    };
    if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') return fail("not a PE file");
    const uint32_t pe = bo::getLE32(&file[kPeOffsetField]);
    if (uint64_t(pe) + kCoffSize > file.size() || std::memcmp(&file[pe], "PE\0\0", 4) != 0)
        return fail("no PE signature");
    const uint16_t sections = bo::getLE16(&file[pe + kCoffSections]);
    const uint16_t optionalSize = bo::getLE16(&file[pe + kCoffOptionalSize]);
    const size_t opt = pe + kCoffSize;
    if (opt + optionalSize > file.size() || optionalSize < kOptExportDirectory + 8) return fail("bad optional header");
    if (bo::getLE16(&file[opt]) != kPe32PlusMagic) return fail("not a 64-bit PE file");
    const uint32_t exportRva = bo::getLE32(&file[opt + kOptExportDirectory]);
    const size_t sectionTable = opt + optionalSize;
    if (sectionTable + size_t(sections) * kSectionHeaderSize > file.size()) return fail("bad section table");

    // File offset of an address of the loaded image, or 0 when none holds it.
    auto offsetOf = [&](uint32_t rva, uint32_t length) -> uint64_t {
        for (uint16_t i = 0; i < sections; ++i) {
            const uint8_t *h = &file[sectionTable + size_t(i) * kSectionHeaderSize];
            const uint32_t va = bo::getLE32(h + kSecVirtualAddress);
            const uint32_t size = std::max(bo::getLE32(h + kSecVirtualSize), bo::getLE32(h + kSecRawSize));
            if (rva < va || uint64_t(rva) + length > uint64_t(va) + size) continue;
            const uint64_t at = uint64_t(bo::getLE32(h + kSecRawOffset)) + (rva - va);
            return at + length <= file.size() ? at : 0;
        }
        return 0;
    };
    std::set<std::string> names;
    if (exportRva == 0) return names; // no export directory: nothing exported
    const uint64_t dir = offsetOf(exportRva, 40);
    if (!dir) return fail("export directory outside the sections");
    const uint32_t functionCount = bo::getLE32(&file[dir + kExpFunctionCount]);
    const uint32_t nameCount = bo::getLE32(&file[dir + kExpNameCount]);
    const uint64_t functions = offsetOf(bo::getLE32(&file[dir + kExpFunctions]), functionCount * 4);
    const uint64_t nameTable = offsetOf(bo::getLE32(&file[dir + kExpNames]), nameCount * 4);
    if ((functionCount && !functions) || (nameCount && !nameTable)) return fail("bad export tables");
    for (uint32_t i = 0; i < nameCount; ++i) {
        const uint64_t at = offsetOf(bo::getLE32(&file[nameTable + 4 * i]), 1);
        if (!at) return fail("export name outside the sections");
        const char *text = reinterpret_cast<const char *>(&file[at]);
        names.insert(std::string(text, strnlen(text, size_t(file.size() - at))));
    }
    // Slots of the address table beyond the named ones: exports by ordinal only.
    uint32_t used = 0;
    for (uint32_t i = 0; i < functionCount; ++i)
        if (bo::getLE32(&file[functions + 4 * i]) != 0) ++used;
    for (uint32_t i = nameCount; i < used; ++i) names.insert("#unnamed" + std::to_string(i));
    return names;
}

std::vector<uint8_t> readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::set<std::string> headerNames() {
    std::set<std::string> names;
#define QUENDAL_EXPORT(name) names.insert(#name);
#include "QuendalExports.inc"
#undef QUENDAL_EXPORT
    return names;
}

// Symbols the static linker defines in every shared object.
const std::set<std::string> kLinkerDefined = {"_init", "_fini", "_edata", "_end", "__bss_start"};

} // namespace

TEST(Exports, TheExportListHasTheTwentyEightNames) { EXPECT_EQ(headerNames().size(), 28u); }

TEST(Exports, QuendalDllExportsExactlyItsInterface) {
    std::vector<uint8_t> file = readFile(testsupport::programDirectory() + "/Quendal.dll");
    ASSERT_FALSE(file.empty()) << "Quendal.dll not found beside the test";
    std::string error;
    const bool pe = file.size() > 1 && file[0] == 'M' && file[1] == 'Z';
    std::set<std::string> exported = pe ? peExportedNames(file, &error) : exportedNames(file, &error);
    ASSERT_TRUE(error.empty()) << error;
    for (const auto &name : kLinkerDefined) exported.erase(name);

    std::set<std::string> expected = headerNames();
    std::vector<std::string> missing, extra;
    std::set_difference(expected.begin(), expected.end(), exported.begin(), exported.end(),
                        std::back_inserter(missing));
    std::set_difference(exported.begin(), exported.end(), expected.begin(), expected.end(), std::back_inserter(extra));
    EXPECT_TRUE(missing.empty()) << "not exported: " << ::testing::PrintToString(missing);
    EXPECT_TRUE(extra.empty()) << "exported beyond the interface: " << ::testing::PrintToString(extra);
}
