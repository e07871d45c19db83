#include "Language.h"

#include <cctype>

#include "platform/IniFile.h"
#include "platform/Locale.h"

namespace sarvik {
namespace {

bool sameProperty(const std::string &a, const char *b) {
    std::string l;
    for (char c : a) l += char(std::tolower(static_cast<unsigned char>(c)));
    return l == b;
}

bool offers(const Component &c, const std::string &property) {
    return (c.caption && sameProperty(property, "caption")) || (c.hint && sameProperty(property, "hint")) ||
           (c.text && sameProperty(property, "text"));
}

void replaceAll(std::wstring &s, const std::wstring &from, const std::wstring &to) {
    for (size_t at = s.find(from); at != std::wstring::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

} // namespace

std::wstring widen(const std::string &utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), out.data(), n);
    return out;
}

uint32_t codePageOfLanguageFile(const std::string &path) {
    // The file's name without folder and extension ("1042" of "C:\\x\\1042.ini").
    // No std::filesystem: it would bring the C++ runtime's locale machinery
    // into this statically linked program.
    const size_t slash = path.find_last_of("\\/");
    std::string stem = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = stem.rfind('.');
    if (dot != std::string::npos && dot > 0) stem.resize(dot);
    const bool number = !stem.empty() && stem.size() < 10 && stem.find_first_not_of("0123456789") == std::string::npos;
    return platform::ansiCodePage(number ? uint32_t(std::stoul(stem)) : platform::userDefaultLcid());
}

LanguagePair splitLanguageLine(const std::string &line, uint32_t codePage) {
    LanguagePair p;
    const size_t eq = line.find('=');
    const std::string key = line.substr(0, eq);
    // The marker is replaced after decoding: in Big5 and GBK '~' is also a trail
    // byte, and a byte-wise replacement would cut a character apart.
    p.value = widen(platform::decodeCodePage(eq == std::string::npos ? std::string() : line.substr(eq + 1), codePage));
    replaceAll(p.value, L"~~", L"\r\n");
    const size_t d1 = key.find('.');
    p.formPart = key.substr(0, d1);
    const std::string rest = d1 == std::string::npos ? std::string() : key.substr(d1 + 1);
    const size_t d2 = rest.find('.');
    if (d2 == std::string::npos) {
        p.propertyPart = rest;
    } else {
        p.componentPart = rest.substr(0, d2);
        p.propertyPart = rest.substr(d2 + 1);
    }
    return p;
}

void loadLanguage(HWND form, const std::string &formName, const std::vector<Component> &components,
                  const std::string &languageFile) {
    const platform::IniFile ini = platform::IniFile::load(languageFile);
    if (!ini.exists()) return;
    const uint32_t cp = codePageOfLanguageFile(languageFile);

    std::vector<LanguagePair> pairs;
    for (const std::string &line : ini.sectionLines(formName)) {
        LanguagePair p = splitLanguageLine(line, cp);
        if (!p.value.empty()) pairs.push_back(std::move(p));
    }

    const std::wstring caption =
        widen(platform::decodeCodePage(ini.value(formName, formName + ".caption", std::string()), cp));
    if (!caption.empty()) SetWindowTextW(form, caption.c_str());

    for (const Component &c : components) {
        if (!c.caption && !c.hint && !c.text) continue;
        for (const LanguagePair &p : pairs) {
            if (p.formPart != formName || p.componentPart != c.name || !offers(c, p.propertyPart)) continue;
            // Caption and text are the same window text to a Win32 control.
            if (!sameProperty(p.propertyPart, "hint")) SetWindowTextW(c.window, p.value.c_str());
        }
    }
}

std::wstring loadMsgStr(const std::string &languageFile, const std::string &section, const std::string &key,
                        const std::wstring &defaultText) {
    const DWORD attributes = languageFile.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(languageFile.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return defaultText;
    // A marker no language file holds tells a missing key from an empty value.
    static const std::string kMissing("\x01missing\x01");
    const std::string v = platform::getProfileString(languageFile, section, key, kMissing);
    if (v == kMissing) return defaultText;
    return widen(platform::decodeCodePage(v, codePageOfLanguageFile(languageFile)));
}

} // namespace sarvik
