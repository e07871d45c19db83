// The user's locale and the ANSI code pages, answered by Windows itself: the
// locale identifier from GetUserDefaultLCID, code-page texts through
// MultiByteToWideChar/WideCharToMultiByte with UTF-16 in between.
#include "platform/Locale.h"

#include <windows.h>

#include <string>

namespace platform {
namespace {

constexpr uint32_t kEnglishUs = 1033;
constexpr wchar_t kReplacement = 0xFFFD;

std::string utf16ToUtf8(const std::wstring &w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// One converted unit of a code page, or nothing when the bytes are not a
// character of it.
bool convertStrict(uint32_t codePage, const char *p, int n, std::wstring *out) {
    const int m = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, p, n, nullptr, 0);
    if (m <= 0) return false;
    const size_t at = out->size();
    out->resize(at + size_t(m));
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, p, n, out->data() + at, m);
    return true;
}

std::wstring toUtf16(const std::string &bytes, uint32_t codePage) {
    std::wstring out;
    if (bytes.empty()) return out;
    if (convertStrict(codePage, bytes.data(), int(bytes.size()), &out)) return out;
    // Without MB_ERR_INVALID_CHARS a double-byte code page gives its own default
    // character (often U+30FB) for a bad sequence; go character by character so
    // that every bad one becomes U+FFFD as on the other platforms, and a lead
    // byte cut off at the end does not take the next character with it.
    out.clear();
    size_t i = 0;
    while (i < bytes.size()) {
        const bool lead = IsDBCSLeadByteEx(codePage, static_cast<BYTE>(bytes[i])) && i + 1 < bytes.size();
        const int n = lead ? 2 : 1;
        if (!convertStrict(codePage, bytes.data() + i, n, &out)) {
            out += kReplacement;
            // A lead byte with a trail that does not fit: only the lead is bad,
            // the next byte may start a character of its own.
            i += 1;
            continue;
        }
        i += size_t(n);
    }
    return out;
}

} // namespace

uint32_t userDefaultLcid() { return uint32_t(GetUserDefaultLCID()); }

uint32_t lcidForLocale(const std::string &posixLocale) {
    std::string name = posixLocale;
    const size_t cut = name.find_first_of(".@");
    if (cut != std::string::npos) name.resize(cut);
    if (name.empty() || name == "C" || name == "POSIX") return kEnglishUs;
    // "zh_TW" is the locale name "zh-TW" to Windows.
    std::wstring w;
    for (char c : name) w += (c == '_') ? L'-' : wchar_t(static_cast<unsigned char>(c));
    const LCID lcid = LocaleNameToLCID(w.c_str(), 0);
    // Unknown names answer 0 or LOCALE_CUSTOM_UNSPECIFIED, which no language file
    // is named after.
    if (lcid == 0 || lcid == LOCALE_CUSTOM_UNSPECIFIED || lcid == LOCALE_CUSTOM_DEFAULT) return kEnglishUs;
    return uint32_t(lcid);
}

uint32_t ansiCodePage(uint32_t lcid) {
    switch (lcid & 0x3FF) {                                           // the primary language
    case 0x04: return (lcid == 0x0804 || lcid == 0x1004) ? 936 : 950; // Chinese: PRC and Singapore use GBK
    case 0x12: return 949;
    case 0x11: return 932;
    default: return 1252;
    }
}

std::string decodeCodePage(const std::string &bytes, uint32_t codePage) {
    return utf16ToUtf8(toUtf16(bytes, codePage));
}

std::string encodeCodePage(const std::string &utf8, uint32_t codePage) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    if (n <= 0) return utf8;
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), w.data(), n);
    // No best fit: a character the code page lacks becomes '?', never a look-alike.
    const int m = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, w.data(), n, nullptr, 0, "?", nullptr);
    if (m <= 0) return utf8;
    std::string out(size_t(m), '\0');
    WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, w.data(), n, out.data(), m, "?", nullptr);
    return out;
}

bool encodeCodePageStrictly(const std::string &utf8, uint32_t codePage, std::string *out) {
    out->clear();
    if (utf8.empty()) return true;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), nullptr, 0);
    if (n <= 0) return false;
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), w.data(), n);
    // No best fit, and a character the code page lacks is reported rather
    // than replaced by the default character.
    BOOL usedDefault = FALSE;
    const int m = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, w.data(), n, nullptr, 0, nullptr, &usedDefault);
    bool ok = m > 0 && !usedDefault;
    if (ok) {
        out->assign(size_t(m), '\0');
        WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, w.data(), n, out->data(), m, nullptr, &usedDefault);
        ok = !usedDefault;
    }
    // The text may be a password: no copy of it is left behind.
    SecureZeroMemory(w.data(), w.size() * sizeof(wchar_t));
    if (!ok) {
        SecureZeroMemory(out->data(), out->size());
        out->clear();
    }
    return ok;
}

} // namespace platform
