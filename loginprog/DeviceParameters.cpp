#include "DeviceParameters.h"

#include <algorithm>
#include <cstring>

#include "platform/IniFile.h"

namespace sarvik {

namespace {

void put(char *field, size_t fieldSize, const std::string &text, size_t maxChars) {
    // An over-long text would run into the next field (or past the block):
    // the field always ends in a NUL.
    const size_t n = std::min({text.size(), maxChars, fieldSize - 1});
    std::memcpy(field, text.data(), n);
}

} // namespace

void fillParameterBlock(const std::string &settingsFile, InitDiskParams *block) {
    std::memset(block, 0, sizeof *block);
    const platform::IniFile ini = platform::IniFile::load(settingsFile);
    put(block->vendor, sizeof block->vendor, ini.value("SETTING", "VENDERSTRING", ""), sizeof block->vendor);
    put(block->product, sizeof block->product, ini.value("SETTING", "PROCEDURESTR", ""), kProductChars);
    put(block->version, sizeof block->version, ini.value("SETTING", "VERSIONSTR", ""), sizeof block->version);
}

} // namespace sarvik
