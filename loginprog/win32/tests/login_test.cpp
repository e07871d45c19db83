// Sarvik.exe as a user meets it: started with a drive root beside Quendal.dll,
// SCSI.dll, a language file and FlashDisk.ini, against a secure emulated disk
// formatted by the command-line tool. The test finds the program's windows by
// title, types with WM_SETTEXT, clicks with BM_CLICK, reads and answers its
// message boxes, and checks on the emulator what the device was asked to do.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "FlashEmulator.h"
#include "TestProcess.h"
#include "TitledWindow.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const char kPassword[] = "Open Sesame";
const char kNewPassword[] = "n3w-Passw0rd";

// Control numbers of the program's dialogs (loginprog/win32/ControlIds.h),
// repeated here because the test talks to another process.
constexpr int kPasswordEdit = 102, kLogin = IDOK, kChangePassword = 103, kCancel = IDCANCEL;
constexpr int kOldPassword = 211, kNewPasswordEdit = 212, kConfirmPassword = 213;

template <class F> bool waitFor(F &&done, std::chrono::milliseconds limit = 20s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return done();
}

std::wstring textOf(HWND w) {
    const int n = GetWindowTextLengthW(w);
    std::wstring s(size_t(n) + 1, L'\0');
    s.resize(size_t(GetWindowTextW(w, s.data(), n + 1)));
    return s;
}

// An edit's content: GetWindowText does not ask a window of another process,
// so the edit is sent WM_GETTEXT as the system would send it.
std::wstring editText(HWND edit) {
    const LRESULT n = SendMessageW(edit, WM_GETTEXTLENGTH, 0, 0);
    std::wstring s(size_t(n) + 1, L'\0');
    s.resize(size_t(SendMessageW(edit, WM_GETTEXT, WPARAM(n + 1), reinterpret_cast<LPARAM>(s.data()))));
    return s;
}

std::string narrow(const std::wstring &w) {
    std::string s;
    for (wchar_t c : w) s += c < 0x80 ? char(c) : '?';
    return s;
}

// A secure disk formatted once with kPassword; each test takes a copy.
fs::path secureTemplate() {
    static const testsupport::ScratchDir root("sarvik-template"); // removed at exit
    static const fs::path dir = [] {
        const fs::path d = root.path() / "disk";
        flashemu::DiskOptions o;
        o.sectors = 40000;
        std::string error;
        if (!flashemu::createDisk(d.string(), o, &error)) throw std::runtime_error("createDisk: " + error);
        testsupport::ProcessOptions po;
        po.input = std::string(kPassword) + "\n" + kPassword + "\n";
        const testsupport::ProcessResult r = testsupport::runProcess(
            (fs::path(testsupport::programDirectory()) / "quendal.exe").string(),
            {"--disk", d.string(), "format", "--mode", "secure", "--first", "50", "--password-stdin", "--yes"}, po);
        if (r.exitCode != 0) throw std::runtime_error("formatting the secure disk failed: " + r.output);
        return d;
    }();
    return dir;
}

// How a run is set up, as the launcher would leave the program's folder.
struct RunSetup {
    bool library = true;                   // Quendal.dll and SCSI.dll beside the program
    std::string languageFile = "1033.ini"; // file name, "" for none
    std::string languageText;              // its bytes; empty: the shipped 1033.ini
    std::string settings = "[SETTING]\r\nVENDERSTRING=\r\nPROCEDURESTR=\r\nVERSIONSTR=2.00";
    std::string parameter = "E:\\";
    flashemu::Faults faults;
    bool secure = true;
};

// One run of Sarvik.exe in a folder of its own, as the launcher sets it up.
class Sarvik {
public:
    using Setup = RunSetup;

    explicit Sarvik(const Setup &s = Setup()) : setup_(s) {
        root_ = testsupport::makeScratchFolder("sarvik-run");
        disk_ = root_ / "disk";
        if (s.secure) {
            fs::copy(secureTemplate(), disk_, fs::copy_options::recursive);
        } else {
            std::string error;
            flashemu::DiskOptions o;
            o.sectors = 40000;
            if (!flashemu::createDisk(disk_.string(), o, &error)) throw std::runtime_error(error);
        }
        flashemu::setFaults(disk_.string(), s.faults);
        flashemu::replug(disk_.string());
        flashemu::setLogging(disk_.string(), true);

        const fs::path bin = testsupport::programDirectory();
        program_ = root_ / "program";
        fs::create_directories(program_);
        fs::copy_file(bin / "Sarvik.exe", program_ / "Sarvik.exe");
        if (s.library) {
            fs::copy_file(bin / "Quendal.dll", program_ / "Quendal.dll");
            fs::copy_file(bin / "SCSI.dll", program_ / "SCSI.dll");
        }
        if (!s.languageFile.empty()) {
            if (s.languageText.empty())
                fs::copy_file(bin / "1033.ini", program_ / s.languageFile);
            else
                std::ofstream(program_ / s.languageFile, std::ios::binary) << s.languageText;
        }
        std::ofstream(program_ / "FlashDisk.ini", std::ios::binary) << s.settings;
    }

    ~Sarvik() {
        if (process_.hProcess) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 99);
            WaitForSingleObject(process_.hProcess, 10000);
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
        }
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // Starts the program; false when it could not be started.
    bool launch() {
        testsupport::ScopedEnv disk(flashemu::kDiskEnv, disk_.string());
        std::string line = "\"" + (program_ / "Sarvik.exe").string() + "\"";
        if (!setup_.parameter.empty()) line += " " + setup_.parameter;
        STARTUPINFOA si{};
        si.cb = sizeof si;
        return CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, program_.string().c_str(), &si,
                              &process_) != 0;
    }

    // The login window once it shows; null when it does not come.
    HWND loginWindow() const {
        HWND w = nullptr;
        waitFor([&] { return (w = topLevel([](HWND h) { return hasControl(h, kPasswordEdit); })) != nullptr; });
        return w;
    }

    HWND start() { return launch() ? loginWindow() : nullptr; }

    // A top-level window of this run that pred accepts.
    HWND topLevel(const std::function<bool(HWND)> &pred) const {
        struct Look {
            DWORD pid;
            const std::function<bool(HWND)> *pred;
            HWND found;
        } look{process_.dwProcessId, &pred, nullptr};
        EnumWindows(
            [](HWND h, LPARAM p) -> BOOL {
                auto *l = reinterpret_cast<Look *>(p);
                DWORD pid = 0;
                GetWindowThreadProcessId(h, &pid);
                if (pid != l->pid || !IsWindowVisible(h) || !(*l->pred)(h)) return TRUE;
                l->found = h;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&look));
        return look.found;
    }

    static bool hasControl(HWND dialog, int id) { return GetDlgItem(dialog, id) != nullptr; }

    // The text of the message box the program shows next (after waiting for
    // it), answered with OK; "" when none came.
    std::string answerMessage(std::chrono::milliseconds limit = 20s) { return narrow(answerMessageW(limit)); }
    std::wstring answerMessageW(std::chrono::milliseconds limit = 20s) {
        HWND box = nullptr;
        waitFor(
            [&] {
                return (box = topLevel([](HWND h) {
                            return !hasControl(h, kPasswordEdit) && !hasControl(h, kOldPassword) &&
                                   GetDlgItem(h, IDOK) != nullptr;
                        })) != nullptr;
            },
            limit);
        if (!box) return {};
        lastMessageTitle = textOf(box);
        std::wstring text;
        EnumChildWindows(
            box,
            [](HWND c, LPARAM p) -> BOOL {
                wchar_t cls[32] = {};
                GetClassNameW(c, cls, 32);
                if (lstrcmpiW(cls, L"Static") == 0 && GetWindowTextLengthW(c) > 0)
                    *reinterpret_cast<std::wstring *>(p) = textOf(c);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&text));
        PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        waitFor([&] { return !IsWindow(box); }, 10s);
        return text;
    }

    bool ended(std::chrono::milliseconds limit = 20s) const {
        return WaitForSingleObject(process_.hProcess, DWORD(limit.count())) == WAIT_OBJECT_0;
    }

    bool loggedIn() const { return flashemu::loggedIn(disk_.string()); }
    const fs::path &disk() const { return disk_; }
    std::wstring lastMessageTitle;

private:
    Setup setup_;
    fs::path root_, disk_, program_;
    PROCESS_INFORMATION process_{};
};

void type(HWND dialog, int id, const std::string &text) {
    SendMessageA(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

// Posted, not sent: the click runs the program's handler, which may show a
// modal message box that the test must then be free to answer.
void click(HWND dialog, int id) { PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

std::string enabled(HWND login) {
    return std::string(IsWindowEnabled(GetDlgItem(login, kPasswordEdit)) ? "P" : "-") +
           (IsWindowEnabled(GetDlgItem(login, kLogin)) ? "L" : "-") +
           (IsWindowEnabled(GetDlgItem(login, kChangePassword)) ? "C" : "-");
}

const std::string kManualOpen = "Please open your FlashDisk from 'My Computer'.";

} // namespace

TEST(SarvikLogin, RightPasswordClosesTheDrivesWindowsAndLogsIn) {
    TitledWindow bracketed(L"Removable Disk (E:)");
    TitledWindow path(L"E:\\");
    TitledWindow other(L"Removable Disk (F:)");
    Sarvik s;
    HWND login = s.start();
    ASSERT_NE(login, nullptr) << "no login window";
    EXPECT_EQ(narrow(textOf(login)), "Keyvane");
    EXPECT_EQ(enabled(login), "PLC");
    // The shipped English file renames the Login button.
    EXPECT_EQ(narrow(textOf(GetDlgItem(login, kLogin))), "OK");
    EXPECT_EQ(GetWindowLongW(GetDlgItem(login, kPasswordEdit), GWL_STYLE) & ES_PASSWORD, ES_PASSWORD);

    type(login, kPasswordEdit, kPassword);
    const auto clicked = std::chrono::steady_clock::now();
    click(login, kLogin);
    ASSERT_TRUE(waitFor([&] { return s.loggedIn(); })) << "the device was not logged in";
    EXPECT_EQ(bracketed.closesAfter(5000), 1);
    EXPECT_EQ(path.closesAfter(5000), 1);
    EXPECT_EQ(other.closesAfter(0), 0);
    // The emulated disk is no drive of this system, so the shell cannot explore
    // it and the user is told to open it by hand, a second after the login.
    if (GetDriveTypeA("E:\\") == DRIVE_NO_ROOT_DIR) {
        EXPECT_EQ(s.answerMessage(), kManualOpen);
        EXPECT_GE(std::chrono::steady_clock::now() - clicked, 1000ms);
        EXPECT_EQ(s.lastMessageTitle, L"Keyvane");
    }
    EXPECT_TRUE(s.ended()) << "the program should end after the login";
}

TEST(SarvikLogin, EnterInThePasswordEditPressesTheDefaultButton) {
    Sarvik s;
    HWND login = s.start();
    ASSERT_NE(login, nullptr);
    type(login, kPasswordEdit, kPassword);
    // Typed at the keyboard: the key reaches the edit through the program's
    // message loop, as a user's Enter does.
    HWND edit = GetDlgItem(login, kPasswordEdit);
    PostMessageW(edit, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageW(edit, WM_KEYUP, VK_RETURN, LPARAM(0xC01C0001));
    ASSERT_TRUE(waitFor([&] { return s.loggedIn(); })) << "Enter did not log in";
    if (GetDriveTypeA("E:\\") == DRIVE_NO_ROOT_DIR) {
        EXPECT_EQ(s.answerMessage(), kManualOpen);
    }
    EXPECT_TRUE(s.ended());
}

TEST(SarvikLogin, APasswordOutsideTheUsersCodePageIsRefusedWithoutCountingATry) {
    // "密碼" has no place in the English user's Windows-1252: no program could
    // have set it, so the library is not asked and no try is spent.
    Sarvik s;
    HWND login = s.start();
    ASSERT_NE(login, nullptr);
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        SendMessageW(GetDlgItem(login, kPasswordEdit), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"\x5BC6\x78BC"));
        click(login, kLogin);
        EXPECT_EQ(s.answerMessage(), "The password contains a character that cannot be used.");
        EXPECT_TRUE(waitFor([&] { return enabled(login) == "PLC"; }, 5s)) << enabled(login);
    }
    EXPECT_FALSE(s.ended(100ms));
    type(login, kPasswordEdit, kPassword);
    click(login, kLogin);
    EXPECT_TRUE(waitFor([&] { return s.loggedIn(); }));
}

TEST(SarvikLogin, ThreeWrongPasswordsEndTheProgramWithoutLoggingIn) {
    TitledWindow path(L"E:\\");
    Sarvik s;
    HWND login = s.start();
    ASSERT_NE(login, nullptr);
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        type(login, kPasswordEdit, "wrong");
        ASSERT_EQ(editText(GetDlgItem(login, kPasswordEdit)), L"wrong");
        click(login, kLogin);
        EXPECT_EQ(s.answerMessage(), "Password Error.");
        EXPECT_TRUE(editText(GetDlgItem(login, kPasswordEdit)).empty()) << "the wrong password stays in the edit";
        EXPECT_TRUE(waitFor([&] { return enabled(login) == "PLC"; }, 5s)) << enabled(login);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(login, kCancel)));
    }
    type(login, kPasswordEdit, "wrong");
    click(login, kLogin);
    EXPECT_TRUE(s.ended()) << "the third wrong password should end the program";
    EXPECT_FALSE(s.loggedIn());
    EXPECT_EQ(path.closesAfter(0), 0) << "no window is closed without the right password";
}

TEST(SarvikLogin, ChangedPasswordLogsInAndTheOldOneNoLonger) {
    TitledWindow explorer(L"Removable Disk (E:)");
    Sarvik::Setup setup;
    setup.parameter = "\"E:\\\""; // a caller may quote the drive root
    Sarvik s(setup);
    HWND login = s.start();
    ASSERT_NE(login, nullptr);
    click(login, kChangePassword);
    HWND change = nullptr;
    ASSERT_TRUE(
        waitFor([&] { return (change = s.topLevel([](HWND h) { return Sarvik::hasControl(h, kOldPassword); })); }));
    EXPECT_EQ(narrow(textOf(change)), "Change Password");

    // A confirmation that differs: nothing changes, the edits are emptied.
    type(change, kOldPassword, kPassword);
    type(change, kNewPasswordEdit, kNewPassword);
    type(change, kConfirmPassword, "n3w-Passw0rd!");
    click(change, IDOK);
    EXPECT_EQ(s.answerMessage(), "Confirm Password is not same as new password!");
    for (int id : {kOldPassword, kNewPasswordEdit, kConfirmPassword})
        EXPECT_TRUE(editText(GetDlgItem(change, id)).empty());
    // A wrong old password.
    type(change, kOldPassword, "not it");
    type(change, kNewPasswordEdit, kNewPassword);
    type(change, kConfirmPassword, kNewPassword);
    click(change, IDOK);
    EXPECT_EQ(s.answerMessage(), "Old Password Error.");
    // Right: the change dialog closes, the login form stays.
    type(change, kOldPassword, kPassword);
    type(change, kNewPasswordEdit, kNewPassword);
    type(change, kConfirmPassword, kNewPassword);
    click(change, IDOK);
    EXPECT_EQ(s.answerMessage(), "Change Password Complete!");
    EXPECT_TRUE(waitFor([&] { return !IsWindow(change); }, 5s));

    // In the same run the old password is refused and the new one logs in.
    type(login, kPasswordEdit, kPassword);
    click(login, kLogin);
    EXPECT_EQ(s.answerMessage(), "Password Error.");
    EXPECT_FALSE(s.loggedIn());
    type(login, kPasswordEdit, kNewPassword);
    click(login, kLogin);
    EXPECT_TRUE(waitFor([&] { return s.loggedIn(); }));
    EXPECT_EQ(explorer.closesAfter(5000), 1);
    if (GetDriveTypeA("E:\\") == DRIVE_NO_ROOT_DIR) {
        EXPECT_EQ(s.answerMessage(), kManualOpen);
    }
    EXPECT_TRUE(s.ended());
}

TEST(SarvikLogin, ThreeWrongOldPasswordsCloseTheChangeDialog) {
    Sarvik s;
    HWND login = s.start();
    ASSERT_NE(login, nullptr);
    click(login, kChangePassword);
    HWND change = nullptr;
    ASSERT_TRUE(
        waitFor([&] { return (change = s.topLevel([](HWND h) { return Sarvik::hasControl(h, kOldPassword); })); }));
    for (int round = 1; round <= 3; ++round) {
        type(change, kOldPassword, "not it");
        type(change, kNewPasswordEdit, kNewPassword);
        type(change, kConfirmPassword, kNewPassword);
        click(change, IDOK);
        EXPECT_EQ(s.answerMessage(), "Old Password Error.");
    }
    EXPECT_TRUE(waitFor([&] { return !IsWindow(change); }, 5s)) << "three wrong old passwords close the dialog";
    EXPECT_TRUE(IsWindow(login));
    click(login, kCancel);
    EXPECT_TRUE(s.ended());
    EXPECT_FALSE(s.loggedIn());
}

TEST(SarvikStart, WithoutALibraryTheUserIsToldAndNothingCanBeTyped) {
    Sarvik::Setup setup;
    setup.library = false;
    setup.secure = false;
    Sarvik s(setup);
    ASSERT_TRUE(s.launch());
    // The message comes while the form is being made, before it shows.
    EXPECT_EQ(s.answerMessage(), "Initialize error,please repush your FlashDisk.");
    EXPECT_EQ(s.lastMessageTitle, L"Keyvane");
    HWND login = s.loginWindow();
    ASSERT_NE(login, nullptr);
    EXPECT_EQ(enabled(login), "---");
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(login, kCancel)));
    click(login, kCancel);
    EXPECT_TRUE(s.ended());
}

TEST(SarvikStart, DeviceStatesDecideWhatCanBeTyped) {
    {
        SCOPED_TRACE("no device");
        Sarvik::Setup setup;
        setup.faults.absent = true;
        Sarvik s(setup);
        HWND login = s.start();
        ASSERT_NE(login, nullptr);
        EXPECT_EQ(enabled(login), "---");
    }
    {
        SCOPED_TRACE("a table but no secure area");
        Sarvik::Setup setup;
        setup.secure = false;
        Sarvik s(setup);
        HWND login = s.start();
        ASSERT_NE(login, nullptr);
        EXPECT_EQ(enabled(login), "---");
    }
    {
        SCOPED_TRACE("a host without raw access logs in by file");
        Sarvik::Setup setup;
        setup.faults.refuseRawAccess = true;
        Sarvik s(setup);
        HWND login = s.start();
        ASSERT_NE(login, nullptr);
        EXPECT_EQ(enabled(login), "PL-");
    }
}

TEST(SarvikStart, ParameterBlockComesFromFlashDiskIni) {
    Sarvik::Setup setup;
    setup.settings = "[SETTING]\r\nVENDERSTRING=MORVAN\r\nPROCEDURESTR=FLASH DISK 12345678901\r\nVERSIONSTR=2.00\r\n";
    Sarvik s(setup);
    ASSERT_NE(s.start(), nullptr);
    const std::vector<flashemu::LogEntry> log = flashemu::readLog(s.disk().string());
    const flashemu::LogEntry *init = nullptr;
    for (const auto &e : log)
        if (e.op == "InitDisk") init = &e;
    ASSERT_NE(init, nullptr);
    ASSERT_EQ(init->data.size(), 40u);
    const char *block = reinterpret_cast<const char *>(init->data.data());
    EXPECT_EQ(std::string(block, 12), std::string("MORVAN") + std::string(6, '\0'));
    // The product text is cut to the 16 characters of an INQUIRY product name.
    EXPECT_EQ(std::string(block + 12, 20), std::string("FLASH DISK 12345") + std::string(4, '\0'));
    EXPECT_EQ(std::string(block + 32, 8), std::string("2.00") + std::string(4, '\0'));
}

// Run by its own test with a Korean user locale (the program inherits it; under
// Wine the locale comes from the Linux environment the test was started in).
TEST(SarvikLanguage, KoreanUserGetsTheKoreanFileInItsCodePage) {
    ASSERT_EQ(GetUserDefaultLCID(), 1042u) << "this case needs a Korean user locale (LC_ALL=ko_KR.UTF-8 under Wine)";
    Sarvik::Setup setup;
    setup.languageFile = "1042.ini";
    // Code page 949 bytes; "~~" in a caption is a line break.
    setup.languageText = "[LoginFrm]\r\nLoginFrm.caption=\xC7\xD1\xB1\xB9\r\n"
                         "LoginFrm.BtnCancel.caption=\xC3\xEB\xBC\xD2\r\n"
                         "LoginFrm.Label1.Caption=a~~b\r\n"
                         "loginfrm.BtnLogin.caption=ignored\r\n"
                         "[MSGSTRING]\r\nPWDERR=\xBA\xF1\xB9\xD0~~\r\n";
    Sarvik s(setup);
    HWND login = s.start();
    ASSERT_NE(login, nullptr);
    EXPECT_EQ(textOf(login), L"\uD55C\uAD6D");
    EXPECT_EQ(textOf(GetDlgItem(login, kCancel)), L"\uCDE8\uC18C");
    EXPECT_EQ(textOf(GetDlgItem(login, 101)), L"a\r\nb");
    EXPECT_EQ(textOf(GetDlgItem(login, kLogin)), L"&Login") << "the form part of a key is matched by case";
    type(login, kPasswordEdit, "wrong");
    click(login, kLogin);
    EXPECT_EQ(s.answerMessageW(), L"\uBE44\uBC00~~") << "message texts keep their \"~~\"";
    EXPECT_EQ(s.lastMessageTitle, L"\uD55C\uAD6D") << "a message box is titled after its owner";
}
