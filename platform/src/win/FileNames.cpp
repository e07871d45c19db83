// File names on Windows: the folder listing's ANSI names are already in the
// system's code page, and the system upper-cases them itself.
#include "platform/FileNames.h"

#include <windows.h>

namespace platform {

uint32_t fileNameCodePage() { return GetACP(); }

std::string ansiFileName(const std::string &hostName) { return hostName; }

std::string upperAnsi(const std::string &bytes, uint32_t) {
    if (bytes.empty()) return bytes;
    // LCMapStringA reads and writes the system's ANSI code page, double-byte
    // characters included, as the ANSI upper-casing of the original platform.
    std::string out(bytes.size(), '\0');
    const int n = LCMapStringA(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, bytes.data(), int(bytes.size()), out.data(),
                               int(out.size()));
    if (n != int(bytes.size())) return bytes;
    return out;
}

} // namespace platform
