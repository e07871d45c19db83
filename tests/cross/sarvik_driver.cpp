// Drives the Windows login program the way a user does: starts Sarvik.exe with
// a drive parameter, waits for its window, types the password into the
// password edit and presses the login button. Every message box the program
// shows is read, reported on standard output ("message: <text>") and
// acknowledged. Ends when the program ends ("exit: <code>").
//
//   sarvik_driver <Sarvik.exe> <parameter> <password> [<password> ...]
//   sarvik_driver - - <password> [<password> ...]
//
// With "-" in place of the program the driver starts nothing and takes the
// login window that is already there (a launcher started the program).
// Each further password is typed after a message box, as a user tries again.
// Exit code: 0 when the program ended, 1 on a usage error, 2 when its window
// never appeared, 3 when it did not end in time.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD kTimeoutMs = 60000;

struct Found {
    DWORD pid;
    HWND exclude = nullptr;
    HWND window = nullptr;
};

BOOL CALLBACK findTopLevel(HWND w, LPARAM p) {
    auto *f = reinterpret_cast<Found *>(p);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid == f->pid && IsWindowVisible(w)) {
        char cls[64] = {};
        GetClassNameA(w, cls, sizeof cls);
        // The standard message box: a dialog (class #32770, as the login
        // form itself is) whose text is its static control 0xFFFF.
        if (std::string(cls) == "#32770" && w != f->exclude && GetDlgItem(w, 0xFFFF)) {
            f->window = w;
            return FALSE;
        }
    }
    return TRUE;
}

std::string textOf(HWND w) {
    wchar_t buf[512] = {};
    GetWindowTextW(w, buf, 512);
    char out[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, buf, -1, out, sizeof out, nullptr, nullptr);
    return out;
}

struct Controls {
    HWND password = nullptr;
    HWND login = nullptr;
};

BOOL CALLBACK findControls(HWND w, LPARAM p) {
    auto *c = reinterpret_cast<Controls *>(p);
    char cls[64] = {};
    GetClassNameA(w, cls, sizeof cls);
    const LONG style = GetWindowLongA(w, GWL_STYLE);
    if (_stricmp(cls, "Edit") == 0 && (style & ES_PASSWORD) && !c->password) c->password = w;
    if (_stricmp(cls, "Button") == 0 && !c->login) {
        std::string t = textOf(w);
        std::string plain;
        for (char ch : t)
            if (ch != '&') plain += ch;
        // The login button: "OK" in the language files, "Login" without them.
        if (plain == "OK" || plain == "Login") c->login = w;
    }
    return TRUE;
}

// The message box of the program, when one is showing.
HWND messageBox(DWORD pid, HWND form = nullptr) {
    Found f{pid, form};
    EnumWindows(findTopLevel, reinterpret_cast<LPARAM>(&f));
    return f.window;
}

std::string messageText(HWND box) {
    // The text of a standard message box is its static control 0xFFFF.
    return textOf(GetDlgItem(box, 0xFFFF));
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: sarvik_driver <Sarvik.exe> <parameter> <password> [<password> ...]\n");
        return 1;
    }
    std::vector<std::string> passwords(argv + 3, argv + argc);
    const bool attach = std::string(argv[1]) == "-";
    PROCESS_INFORMATION pi{};
    if (!attach) {
        std::string command = std::string("\"") + argv[1] + "\" " + argv[2];
        STARTUPINFOA si{};
        si.cb = sizeof si;
        if (!CreateProcessA(argv[1], command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            std::printf("start failed: %lu\n", GetLastError());
            return 2;
        }
    }
    const DWORD start = GetTickCount();
    HWND main = nullptr;
    while (!main && GetTickCount() - start < kTimeoutMs) {
        main = FindWindowA(nullptr, "Keyvane");
        if (attach && !main) {
            Sleep(50);
            continue;
        }
        if (attach) {
            GetWindowThreadProcessId(main, &pi.dwProcessId);
            pi.hProcess =
                OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pi.dwProcessId);
            if (!pi.hProcess) {
                std::printf("cannot open the login program: %lu\n", GetLastError());
                return 2;
            }
        }
        if (!main && WaitForSingleObject(pi.hProcess, 50) == WAIT_OBJECT_0) break;
    }
    if (!main) {
        HWND box = attach ? nullptr : messageBox(pi.dwProcessId);
        if (box) std::printf("message: %s\n", messageText(box).c_str());
        std::printf("no window\n");
        if (pi.hProcess) TerminateProcess(pi.hProcess, 9);
        return 2;
    }
    std::printf("window: Keyvane\n");
    std::fflush(stdout);

    size_t next = 0;
    bool typed = false;
    while (GetTickCount() - start < kTimeoutMs) {
        if (WaitForSingleObject(pi.hProcess, 50) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(pi.hProcess, &code);
            std::printf("exit: %lu\n", code);
            return 0;
        }
        if (HWND box = messageBox(pi.dwProcessId, main)) {
            std::printf("message: %s\n", messageText(box).c_str());
            std::fflush(stdout);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            Sleep(200);
            typed = false;
            continue;
        }
        if (typed || next >= passwords.size()) continue;
        Controls c;
        EnumChildWindows(main, findControls, reinterpret_cast<LPARAM>(&c));
        if (!c.password || !c.login || !IsWindowEnabled(c.login) || !IsWindowEnabled(c.password)) continue;
        SendMessageA(c.password, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(passwords[next].c_str()));
        std::printf("typed: password %zu\n", next + 1);
        std::fflush(stdout);
        ++next;
        typed = true;
        PostMessageA(c.login, BM_CLICK, 0, 0);
    }
    std::printf("timeout\n");
    TerminateProcess(pi.hProcess, 9);
    return 3;
}
