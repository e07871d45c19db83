// Texts of forms and messages from the language files: the key rules, the code
// pages of the shipped languages, the placeholder writer and the message box.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QWidget>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "Messagedlg.h"
#include "Multlanguage.h"
#include "QtTestApp.h"
#include "platform/IniFile.h"

namespace fs = std::filesystem;

namespace {

// A folder of its own per test holding language files named as shipped.
struct LangDir {
    fs::path dir;
    LangDir() {
        dir = fs::temp_directory_path() / ("lang-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(dir);
    }
    ~LangDir() { fs::remove_all(dir); }
    QString write(const std::string &name, const std::string &bytes) const {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return file(name);
    }
    QString file(const std::string &name) const { return QString::fromStdString((dir / name).string()); }
    std::string read(const std::string &name) const {
        std::ifstream in(dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static inline int counter = 0;
};

// A login form as designed: English captions everywhere.
struct LoginForm : QWidget {
    QPushButton *btnOk = new QPushButton("OK", this);
    QLabel *Label1 = new QLabel("Password", this);
    QLineEdit *mePassword = new QLineEdit("typed", this);
    QGroupBox *gbKind = new QGroupBox("Kind", this);
    QPushButton *unnamed = new QPushButton("inner", this);
    LoginForm() {
        setObjectName("LoginFrm");
        setWindowTitle("Login");
        btnOk->setObjectName("btnOk");
        btnOk->move(40, 50);
        Label1->setObjectName("Label1");
        mePassword->setObjectName("mePassword");
        gbKind->setObjectName("gbKind");
    }
};

} // namespace

TEST(LoadLanguage, FormAndComponentTextsFollowTheKeyRules) {
    LangDir d;
    const QString f = d.write("1033.ini", "[LoginFrm]\r\n"
                                          "LoginFrm.caption=X\r\n"
                                          "LoginFrm.btnOk.Caption=Go~~Now\r\n"
                                          "loginfrm.Label1.caption=wrong form case\r\n"
                                          "LoginFrm.label1.caption=wrong component case\r\n"
                                          "LoginFrm.btnOk.Left=5\r\n"
                                          "LoginFrm.btnOk.hint=Press to log in\r\n"
                                          "LoginFrm.mePassword.caption=an edit has no caption\r\n"
                                          "LoginFrm.gbKind.CAPTION=Disk kind\r\n"
                                          "LoginFrm.mePassword.Text=\r\n"
                                          "[MSGSTRING]\r\nTWO=Go~~Now\r\n");
    LoginForm form;
    TMultLanguage ml(&form);
    ml.LoadLanguage(&form, f);
    EXPECT_EQ(form.windowTitle(), "X");
    EXPECT_EQ(form.btnOk->text(), "Go\r\nNow");
    EXPECT_EQ(form.btnOk->toolTip(), "Press to log in");
    EXPECT_EQ(form.btnOk->pos(), QPoint(40, 50));
    EXPECT_EQ(form.Label1->text(), "Password");
    EXPECT_EQ(form.mePassword->text(), "typed"); // empty value ignored, no caption property
    EXPECT_EQ(form.gbKind->title(), "Disk kind");
    EXPECT_EQ(form.unnamed->text(), "inner"); // the one-dot key reaches no named component
    // Message texts keep the marker as it is.
    EXPECT_EQ(TMultLanguage::LoadMsgStr(f, "MSGSTRING", "TWO", "d"), "Go~~Now");
    EXPECT_EQ(TMultLanguage::LoadMsgStr(f, "msgstring", "two", "d"), "Go~~Now");
}

TEST(LoadLanguage, MissingFileOrSectionKeepsTheDesignAndCreatesNothing) {
    LangDir d;
    LoginForm form;
    TMultLanguage ml;
    ml.LoadLanguage(&form, d.file("1033.ini"));
    EXPECT_EQ(form.windowTitle(), "Login");
    EXPECT_EQ(form.btnOk->text(), "OK");
    EXPECT_FALSE(fs::exists(d.dir / "1033.ini"));

    const QString f = d.write("1033.ini", "[MainFrm]\r\nLoginFrm.caption=elsewhere\r\nLoginFrm.btnOk.caption=no\r\n");
    ml.LoadLanguage(&form, f);
    EXPECT_EQ(form.windowTitle(), "Login");
    EXPECT_EQ(form.btnOk->text(), "OK");
}

TEST(LoadMsgStr, DefaultsWhenFileOrKeyIsMissingAndEmptyValuesStayEmpty) {
    LangDir d;
    EXPECT_EQ(TMultLanguage::LoadMsgStr(d.file("1033.ini"), "MSGSTRING", "PWDERR", "Password Error."),
              "Password Error.");
    EXPECT_EQ(TMultLanguage::LoadMsgStr(QString(), "MSGSTRING", "PWDERR", "Password Error."), "Password Error.");
    const QString f = d.write("1033.ini", "[MSGSTRING]\r\nPWDERR=Wrong!\r\nEMPTY=\r\n");
    EXPECT_EQ(TMultLanguage::LoadMsgStr(f, "MSGSTRING", "PWDERR", "Password Error."), "Wrong!");
    EXPECT_EQ(TMultLanguage::LoadMsgStr(f, "MSGSTRING", "EMPTY", "default"), "");
    EXPECT_EQ(TMultLanguage::LoadMsgStr(f, "MSGSTRING", "NODISK", "No Flash Disk."), "No Flash Disk.");
    // A folder in place of the file is no language file.
    fs::create_directories(d.dir / "2052.ini");
    EXPECT_EQ(TMultLanguage::LoadMsgStr(d.file("2052.ini"), "MSGSTRING", "PWDERR", "Password Error."),
              "Password Error.");
}

TEST(LoadLanguage, CodePageTextsAreShownAsTheirCharacters) {
    LangDir d;
    // Big5 (code page 950): "登入密碼"; the second value is "才~" whose first
    // character ends in the byte "~", which must not pair with the next "~".
    const QString big5 = d.write("1028.ini", "[LoginFrm]\r\nLoginFrm.caption=\xB5\x6E\xA4\x4A\xB1\x4B\xBD\x58\r\n"
                                             "LoginFrm.Label1.caption=\xA4\x7E~\r\n"
                                             "[MSGSTRING]\r\nPWDERR=\xB1\x4B\xBD\x58\r\n");
    LoginForm form;
    TMultLanguage ml;
    ml.LoadLanguage(&form, big5);
    EXPECT_EQ(form.windowTitle(), QString::fromUtf8("登入密碼"));
    EXPECT_EQ(form.Label1->text(), QString::fromUtf8("才~"));
    EXPECT_EQ(TMultLanguage::LoadMsgStr(big5, "MSGSTRING", "PWDERR", "x"), QString::fromUtf8("密碼"));

    // GBK (936): "登录密码"; Korean (949): "비밀번호".
    const QString gbk = d.write("2052.ini", "[MSGSTRING]\r\nPWDERR=\xB5\xC7\xC2\xBC\xC3\xDC\xC2\xEB\r\n");
    EXPECT_EQ(TMultLanguage::LoadMsgStr(gbk, "MSGSTRING", "PWDERR", "x"), QString::fromUtf8("登录密码"));
    const QString kor = d.write("1042.ini", "[MSGSTRING]\r\nPWDERR=\xBA\xF1\xB9\xD0\xB9\xF8\xC8\xA3\r\n");
    EXPECT_EQ(TMultLanguage::LoadMsgStr(kor, "MSGSTRING", "PWDERR", "x"), QString::fromUtf8("비밀번호"));
    // Windows-1252 for English: 0xE9 is "é", not a broken UTF-8 byte.
    const QString en = d.write("1033.ini", "[MSGSTRING]\r\nPWDERR=Caf\xE9\r\n");
    EXPECT_EQ(TMultLanguage::LoadMsgStr(en, "MSGSTRING", "PWDERR", "x"), QString::fromUtf8("Café"));

    EXPECT_EQ(TMultLanguage::CodePageOf("/x/1028.ini"), 950u);
    EXPECT_EQ(TMultLanguage::CodePageOf("/x/2052.ini"), 936u);
    EXPECT_EQ(TMultLanguage::CodePageOf("/x/1042.ini"), 949u);
    EXPECT_EQ(TMultLanguage::CodePageOf("/x/1033.ini"), 1252u);
}

TEST(LoadLanguage, AutoSaveWritesPlaceholdersOnlyForTextsNotFound) {
    LangDir d;
    const QString f = d.write("1033.ini", "[LoginFrm]\r\nLoginFrm.btnOk.caption=Go\r\n");
    LoginForm form;
    TMultLanguage ml;
    ml.LoadLanguage(&form, f);
    EXPECT_EQ(d.read("1033.ini"), "[LoginFrm]\r\nLoginFrm.btnOk.caption=Go\r\n"); // read only by default

    ml.AutoSave = true;
    ml.LoadLanguage(&form, f);
    const platform::IniFile ini = platform::IniFile::load((d.dir / "1033.ini").string());
    EXPECT_EQ(ini.value("LoginFrm", "LoginFrm.btnOk.caption").value_or("?"), "Go");
    for (const char *key : {"LoginFrm.caption", "LoginFrm.Label1.caption", "LoginFrm.Label1.hint",
                            "LoginFrm.mePassword.text", "LoginFrm.mePassword.hint", "LoginFrm.gbKind.caption"})
        EXPECT_EQ(ini.value("LoginFrm", key).value_or("?"), "") << key;
    // btnOk had a pair, so none of its properties gets a placeholder.
    EXPECT_FALSE(ini.value("LoginFrm", "LoginFrm.btnOk.hint").has_value());
    EXPECT_FALSE(ini.value("LoginFrm", "LoginFrm.btnOk.text").has_value());
    EXPECT_FALSE(ini.value("LoginFrm", "LoginFrm.Label1.text").has_value()); // a label has no text property
}

TEST(MessageBox, ShowTextKindsButtonsAndResults) {
    TMessageFrm::Responder = nullptr;
    {
        TMessageFrm dlg;
        bool shown = false;
        TMessageFrm::Responder = [&](TMessageFrm *) { shown = true; };
        EXPECT_EQ(dlg.ShowText("Message", "text", 3), 2);
        EXPECT_EQ(dlg.ShowText("Message", "text", 0), 2);
        QCoreApplication::processEvents();
        EXPECT_FALSE(shown);
        EXPECT_FALSE(dlg.isVisible());
    }
    struct Seen {
        QString title, text;
        bool okVisible = false, cancelVisible = false;
        QPoint okPos;
        QSize size;
    } seen;
    auto look = [&](TMessageFrm *d) {
        seen = {d->windowTitle(),          d->mmMsg->toPlainText(), d->BtnOk->isVisible(),
                d->BtnCancel->isVisible(), d->BtnOk->pos(),         d->size()};
    };
    TMessageFrm::Responder = [&](TMessageFrm *d) {
        look(d);
        d->BtnOk->click();
    };
    {
        TMessageFrm dlg;
        EXPECT_EQ(dlg.ShowText("Message", "Format Complete!\nPlease replug", MsgOk), 1);
    }
    EXPECT_EQ(seen.title, "Message");
    EXPECT_EQ(seen.text, "Format Complete!\nPlease replug");
    EXPECT_TRUE(seen.okVisible);
    EXPECT_FALSE(seen.cancelVisible);
    EXPECT_EQ(seen.okPos, QPoint(88, 72));
    EXPECT_EQ(seen.size, QSize(241, 106));

    TMessageFrm::Responder = [&](TMessageFrm *d) {
        look(d);
        d->BtnCancel->click();
    };
    {
        TMessageFrm dlg;
        EXPECT_EQ(dlg.ShowText("Ask", "a\r\nb", MsgOkCancel), 2);
    }
    EXPECT_TRUE(seen.okVisible);
    EXPECT_TRUE(seen.cancelVisible);
    EXPECT_EQ(seen.okPos, QPoint(136, 72));
    EXPECT_EQ(seen.text, "a\nb");

    // Closed any other way (Escape, the window manager): Cancel.
    TMessageFrm::Responder = [&](TMessageFrm *d) { d->reject(); };
    {
        TMessageFrm dlg;
        EXPECT_EQ(dlg.ShowText("Message", "x", MsgOkCancel), 2);
    }
    TMessageFrm::Responder = [&](TMessageFrm *d) { d->BtnOk->click(); };
    {
        TMessageFrm dlg;
        EXPECT_EQ(dlg.ShowText("Message", "x", MsgOkCancel), 1);
    }
    TMessageFrm::Responder = nullptr;
}

TEST(MessageBox, ThreeLinesShowWithoutAScrollBar) {
    // The longest messages take three lines of the box.
    int hidden = -1;
    TMessageFrm::Responder = [&](TMessageFrm *d) {
        hidden = d->mmMsg->verticalScrollBar()->maximum();
        d->BtnOk->click();
    };
    {
        TMessageFrm dlg;
        dlg.ShowText("Message", "Format Failed!\nPlease replug your\nFlash Disk before use.", MsgOk);
    }
    TMessageFrm::Responder = nullptr;
    EXPECT_EQ(hidden, 0);
}

TEST(MessageBox, ShowMsgStrShowsTheTranslatedOrDefaultText) {
    LangDir d;
    QString seen;
    TMessageFrm::Responder = [&](TMessageFrm *dlg) {
        seen = dlg->windowTitle() + "|" + dlg->mmMsg->toPlainText();
        dlg->BtnOk->click();
    };
    EXPECT_EQ(ShowMsgStr(nullptr, d.file("1033.ini"), "PWDERR", "Password Error."), 1);
    EXPECT_EQ(seen, "Message|Password Error.");
    const QString f = d.write("2052.ini", "[MSGSTRING]\r\nPWDERR=\xC3\xDC\xC2\xEB~~\r\n");
    ShowMsgStr(nullptr, f, "PWDERR", "Password Error.");
    EXPECT_EQ(seen, QString::fromUtf8("Message|密码~~"));
    TMessageFrm::Responder = nullptr;
}
