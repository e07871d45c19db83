// A password's bytes, the one rule every program follows (see Locale.h).
#include "platform/Locale.h"

namespace platform {

namespace {

// Characters of a UTF-8 text, or nothing when it is not valid UTF-8 (bad or
// overlong sequences, surrogates, values past U+10FFFF) or holds a NUL.
bool countCharacters(const std::string &utf8, size_t *count) {
    size_t n = 0;
    for (size_t i = 0; i < utf8.size(); ++n) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead == 0) return false;
        const size_t length = lead < 0x80           ? 1
                              : (lead >> 5) == 0x6  ? 2
                              : (lead >> 4) == 0xE  ? 3
                              : (lead >> 3) == 0x1E ? 4
                                                    : 0;
        if (length == 0 || i + length > utf8.size()) return false;
        uint32_t cp = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto c = static_cast<unsigned char>(utf8[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += length;
    }
    *count = n;
    return true;
}

} // namespace

PasswordCheck passwordBytes(const std::string &utf8, uint32_t codePage, std::string *bytes) {
    bytes->clear();
    size_t characters = 0;
    if (!countCharacters(utf8, &characters)) return PasswordCheck::NotText;
    if (characters > kMaxPasswordChars) return PasswordCheck::TooLong;
    if (!encodeCodePageStrictly(utf8, codePage, bytes)) return PasswordCheck::OutsideCodePage;
    return PasswordCheck::Usable;
}

PasswordCheck passwordBytes(const std::string &utf8, std::string *bytes) {
    return passwordBytes(utf8, ansiCodePage(userDefaultLcid()), bytes);
}

} // namespace platform
