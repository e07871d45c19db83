#include "DeviceFinder.h"

#include "text_io.h"

#include <algorithm>

namespace passthrough {
namespace {

std::string fieldText(const uint8_t *p, size_t size) {
    size_t n = 0;
    while (n < size && p[n] != 0) ++n;
    return std::string(reinterpret_cast<const char *>(p), n);
}

bool fieldMatches(const std::string &want, const std::string &have) { return want.empty() || want == have; }

} // namespace

Wanted parseParams(const void *params40) {
    Wanted w;
    if (!params40) return w;
    const uint8_t *p = static_cast<const uint8_t *>(params40);
    w.vendor = fieldText(p + 0, 12);
    w.product = fieldText(p + 12, 20);
    w.revision = fieldText(p + 32, 8);
    return w;
}

std::string trimTrailingBlanks(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\t' || s.back() == '\0')) s.pop_back();
    return s;
}

Identity identityFromInquiry(const uint8_t *data, uint32_t length) {
    Identity id;
    if (!data || length < 36) return id;
    id.vendor = trimTrailingBlanks(std::string(reinterpret_cast<const char *>(data + 8), 8));
    id.product = trimTrailingBlanks(std::string(reinterpret_cast<const char *>(data + 16), 16));
    id.revision = trimTrailingBlanks(std::string(reinterpret_cast<const char *>(data + 32), 4));
    return id;
}

std::vector<KnownController> parseKnownControllers(const std::string &text) {
    std::vector<KnownController> list;
    textio::LineReader in(text);
    std::string line;
    while (in.next(line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f;
        size_t start = 0;
        for (;;) {
            size_t tab = line.find('\t', start);
            f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        KnownController k;
        k.vendor = trimTrailingBlanks(f[0]);
        if (f.size() > 1) k.product = trimTrailingBlanks(f[1]);
        if (f.size() > 2) k.revision = trimTrailingBlanks(f[2]);
        // A line that names nothing would match every disk of the machine.
        if (k.vendor.empty() && k.product.empty()) continue;
        list.push_back(k);
    }
    return list;
}

bool matchesWanted(const Identity &id, const Wanted &wanted) {
    return fieldMatches(wanted.vendor, id.vendor) && fieldMatches(wanted.product, id.product) &&
           fieldMatches(wanted.revision, id.revision);
}

bool isKnown(const Identity &id, const std::vector<KnownController> &known) {
    return std::any_of(known.begin(), known.end(), [&](const KnownController &k) {
        return fieldMatches(k.vendor, id.vendor) && fieldMatches(k.product, id.product) &&
               fieldMatches(k.revision, id.revision);
    });
}

} // namespace passthrough
