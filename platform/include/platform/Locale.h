// The user's locale as the original platform names it (a locale identifier such
// as 1033), and the conversion of texts in a language's ANSI code page.
#pragma once

#include <cstddef>
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
// The same without substitutes: false when the text is not valid UTF-8 or holds
// a character the code page lacks (no look-alike is taken either). *out is
// left empty then.
bool encodeCodePageStrictly(const std::string &utf8, uint32_t codePage, std::string *out);

// The longest password any program takes, in characters: the length of every
// password edit of the windows.
constexpr size_t kMaxPasswordChars = 20;

enum class PasswordCheck {
    Usable,
    TooLong,        // more than kMaxPasswordChars characters
    NotText,        // not valid UTF-8, or a NUL in it
    OutsideCodePage // a character the user's code page lacks
};

// The bytes of a password, the same in every program on every system: its
// text (UTF-8) in the ANSI code page of the user's locale identifier, the one
// the language files are read in. The original platform's edits hand their
// text over that way, so a disk set up there opens here, and one set up by
// any program here opens in every other. *bytes stays empty unless Usable.
PasswordCheck passwordBytes(const std::string &utf8, std::string *bytes);
PasswordCheck passwordBytes(const std::string &utf8, uint32_t codePage, std::string *bytes);

} // namespace platform
