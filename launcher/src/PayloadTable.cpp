// Extraction of one payload resource into a file.
#include "PayloadTable.h"

#include "Payload.h"
#include "PrivateFile.h"

namespace latchkin {

namespace {

// The intermediate name is the final name with its last character replaced by
// "~": the decoder reads one and writes the other beside it.
constexpr bool intermediateNamesMatch() {
    for (const PayloadRow &row : kPayloadTable) {
        size_t n = 0;
        while (row.finalName[n] != 0) ++n;
        if (n == 0 || row.intermediateName[n - 1] != '~' || row.intermediateName[n] != 0) return false;
        for (size_t i = 0; i + 1 < n; ++i)
            if (row.intermediateName[i] != row.finalName[i]) return false;
    }
    return true;
}
static_assert(intermediateNamesMatch());

} // namespace

bool ExtractResource(int32_t id, const std::string &path) {
    std::optional<std::span<const uint8_t>> bytes = findResource(id);
    if (!bytes) return false;
    (void)lzari::writeWholeFile(path, *bytes, 0600);
    return true;
}

} // namespace latchkin
