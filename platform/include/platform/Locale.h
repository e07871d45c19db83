// The user's locale as the original platform names it (a locale identifier such
// as 1033), and the conversion of texts in a language's ANSI code page.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The locale identifier of the POSIX locale that decides messages: the first
// non-empty of LC_ALL, LC_MESSAGES and LANG (encoding and modifier ignored);
// 1033 (English, United States) for "C", "POSIX", an unset or unknown locale.
uint32_t userDefaultLcid();
// The same for a given POSIX locale name ("zh_TW.UTF-8" -> 1028).
uint32_t lcidForLocale(const std::string &posixLocale);

// The ANSI code page of a locale identifier: 950 Traditional Chinese, 936
// Simplified Chinese, 949 Korean, 932 Japanese, 1252 otherwise.
uint32_t ansiCodePage(uint32_t lcid);

// Bytes of a code page to UTF-8, and back. Bytes that do not convert become
// U+FFFD (decode) or '?' (encode); nothing is dropped silently.
std::string decodeCodePage(const std::string &bytes, uint32_t codePage);
std::string encodeCodePage(const std::string &utf8, uint32_t codePage);

} // namespace platform
