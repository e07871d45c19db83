// The language file applied to real Win32 controls: which keys reach which
// control, how the code page of the file's language is decoded whatever the
// system's code page, and where "~~" is a line break.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>

#include "Language.h"

namespace fs = std::filesystem;

namespace {

std::wstring textOf(HWND w) {
    const int n = GetWindowTextLengthW(w);
    std::wstring s(size_t(n) + 1, L'\0');
    s.resize(size_t(GetWindowTextW(w, s.data(), n + 1)));
    return s;
}

// A form "LoginFrm" with a label, a button and an edit, in their designed texts.
struct Form {
    HWND form, label, button, edit;
    fs::path dir;
    Form() {
        form = CreateWindowExW(0, L"STATIC", L"Keyvane", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
        label = CreateWindowExW(0, L"STATIC", L"password:", WS_CHILD, 0, 0, 80, 20, form, nullptr, nullptr, nullptr);
        button = CreateWindowExW(0, L"BUTTON", L"&Login", WS_CHILD, 0, 30, 80, 20, form, nullptr, nullptr, nullptr);
        edit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD, 0, 60, 80, 20, form, nullptr, nullptr, nullptr);
        char tmp[MAX_PATH];
        GetTempPathA(MAX_PATH, tmp);
        dir =
            fs::path(tmp) / ("language-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count));
        fs::create_directories(dir);
    }
    ~Form() {
        DestroyWindow(form);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string file(const std::string &name, const std::string &text) {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary) << text;
        return p.string();
    }
    void apply(const std::string &path) {
        sarvik::loadLanguage(form, "LoginFrm",
                             {{"Label1", label, true, true, false},
                              {"BtnLogin", button, true, true, false},
                              {"mePassword", edit, false, true, true}},
                             path);
    }
    static inline int count = 0;
};

} // namespace

TEST(LoadLanguage, KeysReachTheNamedControlsByTheFileRules) {
    Form f;
    f.apply(f.file("1033.ini", "[LoginFrm]\r\n"
                               "LoginFrm.caption=Sign in\r\n"
                               "LoginFrm.Label1.CAPTION=two~~lines\r\n"
                               "loginfrm.BtnLogin.caption=wrong form case\r\n"
                               "LoginFrm.BtnLogin.Left=5\r\n"
                               "LoginFrm.BtnLogin.hint=a hint shows nothing\r\n"
                               "LoginFrm.mePassword.Text=\r\n"
                               "LoginFrm.mePassword.text=typed\r\n"
                               "LoginFrm.mePassword.caption=an edit has no caption\r\n"
                               "[Other]\r\nLoginFrm.BtnLogin.caption=other section\r\n"));
    EXPECT_EQ(textOf(f.form), L"Sign in");
    EXPECT_EQ(textOf(f.label), L"two\r\nlines");
    EXPECT_EQ(textOf(f.button), L"&Login");
    EXPECT_EQ(textOf(f.edit), L"typed") << "an empty value is ignored, a caption key does not reach an edit";

    Form none;
    none.apply((none.dir / "1033.ini").string());
    EXPECT_EQ(textOf(none.form), L"Keyvane");
    EXPECT_EQ(textOf(none.label), L"password:");
}

TEST(LoadLanguage, FileIsDecodedInTheCodePageOfItsLanguage) {
    // Big5: A4 A4 A4 E5 is two characters; in A4 7E the '~' is a trail byte, so
    // "A4 7E 7E 41" holds no line-break marker.
    Form f;
    f.apply(f.file("1028.ini", "[LoginFrm]\r\nLoginFrm.caption=\xA4\xA4\xA4\xE5\r\n"
                               "LoginFrm.Label1.caption=\xA4\x7E~A\r\n"
                               "LoginFrm.BtnLogin.caption=\xA4\xA4~~\xA4\xE5\r\n"));
    EXPECT_EQ(textOf(f.form), L"\u4E2D\u6587");
    EXPECT_EQ(textOf(f.label), L"\u624D~A");
    EXPECT_EQ(textOf(f.button), L"\u4E2D\r\n\u6587");

    // The same bytes as GBK name other characters.
    Form g;
    g.apply(g.file("2052.ini",
                   "[LoginFrm]\r\nLoginFrm.caption=\xD6\xD0\xCE\xC4\r\nLoginFrm.Label1.caption=\x81\x7E~A\r\n"));
    EXPECT_EQ(textOf(g.form), L"\u4E2D\u6587");
    EXPECT_EQ(textOf(g.label), L"\u4E8A~A");
}
