// The payload as resources of type "ZZZ" in the launcher's own module, compiled
// in from the .rc file latchkin_add_payload() generates.
#include "Payload.h"

#include <windows.h>

namespace latchkin {

std::optional<std::span<const uint8_t>> findResource(int id) {
    HRSRC info = FindResourceA(nullptr, MAKEINTRESOURCEA(id), "ZZZ");
    if (!info) return std::nullopt;
    HGLOBAL loaded = LoadResource(nullptr, info);
    DWORD size = SizeofResource(nullptr, info);
    const void *bytes = loaded ? LockResource(loaded) : nullptr;
    // An empty resource has no bytes to lock; it is still there.
    if (!bytes && size != 0) return std::nullopt;
    return std::span<const uint8_t>(static_cast<const uint8_t *>(bytes), size);
}

} // namespace latchkin
