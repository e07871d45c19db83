// Host file names as the original platform's ANSI functions hand them over: the
// bytes of the name in an ANSI code page, and that code page's upper-casing.
// The device library makes 8.3 entries of them (the file copy), so that a disk
// prepared here carries the names a disk prepared on the original platform does.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The ANSI code page that file names are given in. On Windows the system's own;
// elsewhere the one of the user's locale (the first non-empty of LC_ALL,
// LC_MESSAGES and LANG): 950 Traditional Chinese, 936 Simplified Chinese (China,
// Singapore), 949 Korean, 932 Japanese, 1252 otherwise.
uint32_t fileNameCodePage();

// A name as a folder listing gives it, in fileNameCodePage(). On Windows the
// listing's ANSI name is that already; elsewhere the UTF-8 name is converted,
// and each character the code page lacks (or byte that is no UTF-8) becomes '_'.
std::string ansiFileName(const std::string &hostName);

// The ANSI upper-casing of bytes in codePage: the letters of the code page
// become capitals (1252: also the accented ones), a double-byte character stays
// as it is. On Windows the system's own upper-casing serves for its code page.
std::string upperAnsi(const std::string &bytes, uint32_t codePage);

} // namespace platform
