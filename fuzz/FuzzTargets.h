// The fuzz entry points of the system's input parsers, shared by the libFuzzer
// programs (scripts/fuzz.sh) and by the corpus test that runs every entry point
// over a generated corpus with the normal compiler.
//
// Each entry point takes arbitrary bytes and checks what must hold of the
// parser's answer whatever the input; a broken property goes to fuzzFail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

using Input = std::vector<uint8_t>;

// Called when a property does not hold. The libFuzzer programs abort (the
// fuzzer then keeps the input); the corpus test throws to report the case.
using FailHandler = void (*)(const char *what);
void setFailHandler(FailHandler handler);
[[noreturn]] void fuzzFail(const char *what);
#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond)) ::fuzz::fuzzFail(__FILE__ ":" FUZZ_LINE_TEXT(__LINE__) ": " #cond);                               \
    } while (0)
#define FUZZ_LINE_TEXT(l) FUZZ_LINE_TEXT2(l)
#define FUZZ_LINE_TEXT2(l) #l

// The configuration-table scan over a device whose information area is the
// input, then the rewrite of the copies it found, with an injected read or
// write failure (the format of the input is described in config_table_fuzz.cpp).
void configTable(const uint8_t *data, size_t size);
// The INI reader: parse, look up, write a key and read it back.
void iniFile(const uint8_t *data, size_t size);
// Files of fuzzed names and sizes added to a freshly built FAT image.
void fatCopy(const uint8_t *data, size_t size);
// The drive table's parsers: boot sector sizes, drive map, mount table, and a
// login file written into a volume whose boot sector is the input.
void driveTable(const uint8_t *data, size_t size);

struct Target {
    const char *name;
    void (*run)(const uint8_t *, size_t);
    std::vector<Input> (*seeds)();
};

// Seed inputs, built in code: the corpus is generated, not stored.
std::vector<Input> configTableSeeds();
std::vector<Input> iniFileSeeds();
std::vector<Input> fatCopySeeds();
std::vector<Input> driveTableSeeds();

const std::vector<Target> &targets();

} // namespace fuzz
