// File names in the user's ANSI code page on Linux, where names are UTF-8: the
// conversion through the C library's iconv, and the code pages' upper-casing
// from their tables (the device library carries no ICU).
#include "platform/FileNames.h"

#include <iconv.h>

#include <cstdlib>
#include <string_view>

#include "fat_layout.h"

namespace platform {

namespace {

uint32_t codePageOfLocale(std::string_view locale) {
    const std::string_view language = locale.substr(0, locale.find_first_of("_.@"));
    std::string_view territory;
    if (const size_t at = locale.find('_'); at != std::string_view::npos && at == language.size())
        territory = locale.substr(at + 1, locale.find_first_of(".@", at) - at - 1);
    if (language == "zh") return territory == "CN" || territory == "SG" ? 936 : 950;
    if (language == "ko") return 949;
    if (language == "ja") return 932;
    return 1252;
}

// Bytes of the UTF-8 sequence that starts with lead, or 0 when no sequence does.
size_t utf8Length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Code page 1252's small letters outside ASCII and their capitals, as the
// system's upper-casing maps them (ß and µ have no capital in the code page).
unsigned char upper1252(unsigned char c) {
    if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 0x20);
    switch (c) {
    case 0x9A: return 0x8A; // š
    case 0x9C: return 0x8C; // œ
    case 0x9E: return 0x8E; // ž
    case 0xFF: return 0x9F; // ÿ
    default: return c;
    }
}

} // namespace

uint32_t fileNameCodePage() {
    for (const char *variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *value = std::getenv(variable);
        if (value && *value) return codePageOfLocale(value);
    }
    return 1252;
}

std::string ansiFileName(const std::string &hostName) {
    const std::string target = "CP" + std::to_string(fileNameCodePage());
    iconv_t cd = iconv_open(target.c_str(), "UTF-8");
    std::string out;
    out.reserve(hostName.size());
    for (size_t i = 0; i < hostName.size();) {
        const unsigned char c = static_cast<unsigned char>(hostName[i]);
        if (c < 0x80) {
            out += char(c);
            ++i;
            continue;
        }
        size_t length = utf8Length(c);
        if (length == 0 || i + length > hostName.size()) length = 1;
        for (size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(hostName[i + k]) & 0xC0) != 0x80) length = 1;
        char converted[8];
        char *in = const_cast<char *>(hostName.data() + i);
        char *to = converted;
        size_t inLeft = length, outLeft = sizeof converted;
        const bool ok = length > 1 && cd != iconv_t(-1) && iconv(cd, &in, &inLeft, &to, &outLeft) != size_t(-1);
        if (ok)
            out.append(converted, size_t(to - converted));
        else
            out += '_';
        if (cd != iconv_t(-1)) iconv(cd, nullptr, nullptr, nullptr, nullptr); // no state left from a failure
        i += length;
    }
    if (cd != iconv_t(-1)) iconv_close(cd);
    return out;
}

std::string upperAnsi(const std::string &bytes, uint32_t codePage) {
    std::string out = bytes;
    for (size_t i = 0; i < out.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        if (fat::isLeadByte(codePage, c)) {
            ++i; // the second byte belongs to the character, whatever it looks like
            continue;
        }
        if (codePage == 1252)
            out[i] = char(upper1252(c));
        else if (c >= 'a' && c <= 'z')
            out[i] = char(c - 0x20);
    }
    return out;
}

} // namespace platform
