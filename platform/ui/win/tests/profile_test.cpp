// The system's profile reader against the shared INI parser: for the same files
// and questions getProfileString (GetPrivateProfileStringA) and IniFile must
// give the same answers, so that the language file a Windows user sees reads
// as it does on the other platforms.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>

#include "platform/IniFile.h"

namespace fs = std::filesystem;

namespace {

struct Folder {
    fs::path dir;
    Folder() {
        char tmp[MAX_PATH];
        GetTempPathA(MAX_PATH, tmp);
        dir = fs::path(tmp) / ("profile-test-" + std::to_string(GetCurrentProcessId()));
        fs::create_directories(dir);
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    // The system caches profiles by name: every text goes into a file of its own.
    std::string write(const std::string &text) {
        const fs::path p = dir / ("f" + std::to_string(++count_) + ".ini");
        std::ofstream(p, std::ios::binary) << text;
        return p.string();
    }
    int count_ = 0;
};

struct Question {
    const char *section, *key;
};

void expectSameAnswers(Folder &folder, const std::string &text, std::initializer_list<Question> questions) {
    const std::string path = folder.write(text);
    const platform::IniFile ini = platform::IniFile::parse(text);
    for (const Question &q : questions) {
        SCOPED_TRACE(std::string(q.section) + " / " + q.key);
        EXPECT_EQ(platform::getProfileString(path, q.section, q.key, "<none>"), ini.value(q.section, q.key, "<none>"));
    }
}

} // namespace

TEST(ProfileString, AnswersAsTheSharedParserDoes) {
    Folder f;
    // Case of sections and keys, blanks around names and values, CR LF and LF.
    expectSameAnswers(f,
                      "[LoginFrm]\r\nLoginFrm.caption=Keyvane\r\n  Spaced Key  =  spaced value  \r\n"
                      "[ MSGSTRING ]\nPWDERR=Password Error.\n",
                      {{"LoginFrm", "LoginFrm.caption"},
                       {"loginfrm", "LOGINFRM.CAPTION"},
                       {"LoginFrm", "spaced key"},
                       {"MSGSTRING", "PWDERR"},
                       {"msgstring", "pwderr"},
                       {"LoginFrm", "PWDERR"}});
    // The first of repeated sections and keys wins; an empty value is a value.
    expectSameAnswers(f, "[A]\r\nk=first\r\nk=second\r\nempty=\r\n[A]\r\nk=third\r\nonlyLater=x\r\n",
                      {{"A", "k"}, {"A", "empty"}, {"B", "k"}});
    // Quotes around a value are taken off once; quotes inside stay.
    expectSameAnswers(f, "[Q]\r\nd=\"quoted\"\r\ns='single'\r\ninner=a \"b\" c\r\nhalf=\"open\r\n",
                      {{"Q", "d"}, {"Q", "s"}, {"Q", "inner"}, {"Q", "half"}});
    // Comments, lines without '=', '=' inside values, tabs, text after a header.
    expectSameAnswers(f, "[C] trailing\r\n;k=commented\r\nno pair here\r\n\tk\t=\ta=b\t\r\n\r\n  \r\nlast=1\r\n",
                      {{"C", "k"}, {"C", ";k"}, {"C", "no pair here"}, {"C", "last"}});
    // Sections differing only in case are one name; the last line needs no line end.
    expectSameAnswers(f, "[sec]\nk=lower\n[ My Sec ]\nk=spaced\n[SEC]\nk=upper\nonly=upper\n[E]\nend=no newline",
                      {{"SEC", "k"}, {"sec", "only"}, {"My Sec", "k"}, {"E", "end"}});
    // Code-page bytes pass through unchanged, "~~" included.
    expectSameAnswers(f, "[MSGSTRING]\r\nCHANGEOK=\xA4\xA4~~\xA4\xE5\r\nk=\xC7\xD1\xB1\xB9\r\n",
                      {{"MSGSTRING", "CHANGEOK"}, {"MSGSTRING", "k"}});
}

TEST(ProfileString, LongValuesAreCutTo2047Characters) {
    Folder f;
    const std::string path = f.write("[S]\r\nk=" + std::string(3000, 'v') + "\r\n");
    const std::string v = platform::getProfileString(path, "S", "k", "");
    EXPECT_EQ(v.size(), platform::kProfileValueMax);
    EXPECT_EQ(v, std::string(platform::kProfileValueMax, 'v'));
}

TEST(ProfileString, MissingFileSectionOrKeyGivesTheFallback) {
    Folder f;
    EXPECT_EQ(platform::getProfileString((f.dir / "absent.ini").string(), "S", "k", "fallback"), "fallback");
    const std::string path = f.write("[S]\r\nk=v\r\n");
    EXPECT_EQ(platform::getProfileString(path, "T", "k", "fallback"), "fallback");
    EXPECT_EQ(platform::getProfileString(path, "S", "x", "fallback"), "fallback");
    EXPECT_EQ(platform::getProfileString(path, "S", "k", "fallback"), "v");
}

TEST(ProfileString, RelativeNameIsReadFromTheCurrentDirectoryNotTheWindowsOne) {
    Folder f;
    const fs::path before = fs::current_path();
    fs::current_path(f.dir);
    std::ofstream("beside.ini", std::ios::binary) << "[S]\r\nk=beside\r\n";
    const std::string v = platform::getProfileString("beside.ini", "S", "k", "not found");
    fs::current_path(before);
    EXPECT_EQ(v, "beside");
}
