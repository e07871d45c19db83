// Telling the flash disk by its identification: the texts of the host's
// parameter block, the list of known controllers, and how INQUIRY data is read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace passthrough {

// INQUIRY identification, trailing blanks removed.
struct Identity {
    std::string vendor;   // 8 characters on the wire
    std::string product;  // 16
    std::string revision; // 4
};

// The texts of the 40-byte parameter block: vendor at 0 (12 bytes), product at
// 12 (20), version at 32 (8), each up to its NUL or the end of its field.
struct Wanted {
    std::string vendor, product, revision;
    bool empty() const { return vendor.empty() && product.empty() && revision.empty(); }
};
Wanted parseParams(const void *params40);

// A known controller identity; an empty field matches anything.
struct KnownController {
    std::string vendor, product, revision;
};

// One identity a line, fields separated by tabs: vendor, product, revision
// (optional). Blank lines and lines starting with '#' are skipped.
std::vector<KnownController> parseKnownControllers(const std::string &text);

std::string trimTrailingBlanks(std::string s);
// INQUIRY data (36 bytes or more) to identification.
Identity identityFromInquiry(const uint8_t *data, uint32_t length);

bool matchesWanted(const Identity &id, const Wanted &wanted);
bool isKnown(const Identity &id, const std::vector<KnownController> &known);

} // namespace passthrough
