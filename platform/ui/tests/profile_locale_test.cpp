// The INI reader's rules as the language files and FlashDisk.ini rely on them,
// the placeholder writer, the locale identifier of a POSIX locale, and texts in
// the code pages of the shipped languages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/IniFile.h"
#include "platform/Locale.h"

using namespace platform;

namespace {

struct TempFile {
    std::filesystem::path path;
    explicit TempFile(const std::string &text) {
        path = std::filesystem::temp_directory_path() /
               ("ini-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".ini");
        std::ofstream(path, std::ios::binary) << text;
    }
    ~TempFile() { std::filesystem::remove(path); }
    std::string read() const {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static inline int counter = 0;
};

} // namespace

TEST(Profile, SectionsAndKeysIgnoreCaseAndBlanks) {
    auto ini = IniFile::parse("[MsgString]\r\n  PwdErr  =  Password Error.  \r\nOther=1\r\n");
    EXPECT_EQ(ini.value("MSGSTRING", "PWDERR").value_or("?"), "Password Error.");
    EXPECT_EQ(ini.value(" msgstring ", "pwderr ").value_or("?"), "Password Error.");
    EXPECT_FALSE(ini.value("MSGSTRING", "PWD").has_value());
    EXPECT_FALSE(ini.value("NOSECTION", "PWDERR").has_value());
}

TEST(Profile, FirstMatchWinsQuotesGoAndCommentsAreSkipped) {
    auto ini = IniFile::parse("[A]\nkey=first\nKEY=second\n;key=commented\nq=\"quoted value\"\nhalf=\"open\nempty=\n"
                              "[a]\nkey=second section\n");
    EXPECT_EQ(ini.value("A", "key").value_or("?"), "first");
    EXPECT_EQ(ini.value("A", "q").value_or("?"), "quoted value");
    EXPECT_EQ(ini.value("A", "half").value_or("?"), "\"open");
    EXPECT_EQ(ini.value("A", "empty").value_or("?"), "");
    auto lines = ini.sectionLines("a");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "key=first");
    EXPECT_EQ(lines[4], "empty=");
}

TEST(Profile, ValuesAreCutTo2047AndBytesPassUnchanged) {
    std::string big(3000, 'x');
    std::string big5 = "\xB1\x4B\xBD\x58\xBF\xF9\xBB\x7E"; // Big5 bytes, 0x5C-free here
    auto ini = IniFile::parse("[S]\nlong=" + big + "\ntext=" + big5 + "\n");
    EXPECT_EQ(ini.value("S", "long")->size(), kProfileValueMax);
    EXPECT_EQ(ini.value("S", "text").value_or("?"), big5);
}

TEST(Profile, MissingFileGivesTheFallback) {
    EXPECT_EQ(getProfileString("/nonexistent/1033.ini", "MSGSTRING", "PWDERR", "Password Error."), "Password Error.");
    EXPECT_FALSE(IniFile::load("/nonexistent/1033.ini").exists());
    TempFile f("[MSGSTRING]\r\nPWDERR=Wrong.\r\n");
    EXPECT_EQ(getProfileString(f.path.string(), "MSGSTRING", "PWDERR", "Password Error."), "Wrong.");
    EXPECT_EQ(getProfileString(f.path.string(), "MSGSTRING", "OLDERR", "Old Password Error."), "Old Password Error.");
}

TEST(Profile, WritingAddsKeysInPlaceAndKeepsLineEnds) {
    TempFile f("[LoginFrm]\r\nLoginFrm.caption=X\r\n\r\n[MSGSTRING]\r\nA=1\r\n");
    ASSERT_TRUE(writeProfileString(f.path.string(), "loginfrm", "LoginFrm.btnOk.caption", ""));
    ASSERT_TRUE(writeProfileString(f.path.string(), "MSGSTRING", "a", "2"));
    ASSERT_TRUE(writeProfileString(f.path.string(), "New", "k", "v"));
    EXPECT_EQ(f.read(), "[LoginFrm]\r\nLoginFrm.caption=X\r\nLoginFrm.btnOk.caption=\r\n\r\n[MSGSTRING]\r\na=2\r\n\r\n["
                        "New]\r\nk=v\r\n");
    auto ini = IniFile::load(f.path.string());
    EXPECT_EQ(ini.value("MSGSTRING", "A").value_or("?"), "2");
    EXPECT_FALSE(writeProfileString("/nonexistent/dir/x.ini", "S", "k", "v"));
}

TEST(Locale, PosixLocalesMapToTheirIdentifiers) {
    EXPECT_EQ(lcidForLocale("en_US.UTF-8"), 1033u);
    EXPECT_EQ(lcidForLocale("zh_TW.UTF-8"), 1028u);
    EXPECT_EQ(lcidForLocale("zh_CN.GB18030"), 2052u);
    EXPECT_EQ(lcidForLocale("ko_KR.UTF-8"), 1042u);
    EXPECT_EQ(lcidForLocale("de_DE@euro"), 1031u);
    EXPECT_EQ(lcidForLocale("C"), 1033u);
    EXPECT_EQ(lcidForLocale("POSIX"), 1033u);
    EXPECT_EQ(lcidForLocale(""), 1033u);
}

TEST(Locale, TheFirstSetVariableDecides) {
    setenv("LC_ALL", "", 1);
    setenv("LC_MESSAGES", "ko_KR.UTF-8", 1);
    setenv("LANG", "zh_TW.UTF-8", 1);
    EXPECT_EQ(userDefaultLcid(), 1042u);
    setenv("LC_ALL", "zh_CN.UTF-8", 1);
    EXPECT_EQ(userDefaultLcid(), 2052u);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    EXPECT_EQ(userDefaultLcid(), 1028u);
    unsetenv("LANG");
    EXPECT_EQ(userDefaultLcid(), 1033u);
}

TEST(CodePage, ShippedLanguagesDecodeFromTheirCodePages) {
    EXPECT_EQ(ansiCodePage(1028), 950u);
    EXPECT_EQ(ansiCodePage(2052), 936u);
    EXPECT_EQ(ansiCodePage(1042), 949u);
    EXPECT_EQ(ansiCodePage(1033), 1252u);
    // "密碼" (password) in Big5, "密码" in GBK, "암호" in code page 949.
    EXPECT_EQ(decodeCodePage("\xB1\x4B\xBD\x58", 950), "\xE5\xAF\x86\xE7\xA2\xBC");
    EXPECT_EQ(decodeCodePage("\xC3\xDC\xC2\xEB", 936), "\xE5\xAF\x86\xE7\xA0\x81");
    EXPECT_EQ(decodeCodePage("\xBE\xCF\xC8\xA3", 949), "\xEC\x95\x94\xED\x98\xB8");
    EXPECT_EQ(decodeCodePage("Caf\xE9", 1252), "Caf\xC3\xA9");
    // Round trips, and a character the code page lacks.
    EXPECT_EQ(encodeCodePage("\xE5\xAF\x86\xE7\xA2\xBC", 950), "\xB1\x4B\xBD\x58");
    EXPECT_EQ(encodeCodePage("\xEC\x95\x94", 1252), "?");
    // A truncated double-byte character is not dropped silently.
    EXPECT_NE(decodeCodePage("A\xB1", 950), "A");
}
