#include "Terminal.h"

#include <algorithm>
#include <iostream>
#include <iterator>
#include <string.h>

#include "platform/Locale.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace cli {

bool isTerminal(FILE *f) {
#if defined(_WIN32)
    // _isatty also says yes for NUL and serial ports; only a console has a mode.
    DWORD mode = 0;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
#else
    return isatty(fileno(f)) != 0;
#endif
}

namespace {

#if defined(_WIN32)
// The console's input mode while echo is off, so that Ctrl+C or Ctrl+Break
// does not leave the user's console without echo: the mode belongs to the
// console, not to this process, and outlives it.
HANDLE gQuietConsole = INVALID_HANDLE_VALUE;
DWORD gSavedMode = 0;

// The exit code of a program that Ctrl+C ends (STATUS_CONTROL_C_EXIT).
constexpr UINT kControlCExit = 0xC000013A;

BOOL WINAPI restoreOnBreak(DWORD) {
    if (gQuietConsole != INVALID_HANDLE_VALUE) SetConsoleMode(gQuietConsole, gSavedMode);
    // Ended here rather than by the default handler, which Wine has end the
    // program with 0: an interrupted password entry must not look like success.
    ExitProcess(kControlCExit);
}

bool readConsoleHidden(HANDLE in, DWORD saved, const char *prompt, std::string *out, std::string *error) {
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    gSavedMode = saved;
    gQuietConsole = in;
    SetConsoleCtrlHandler(restoreOnBreak, TRUE);
    // Line input keeps the console's own editing (backspace); only echo goes.
    DWORD quiet = (saved | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~DWORD(ENABLE_ECHO_INPUT);
    SetConsoleMode(in, quiet);
    // Read as UTF-16: the console's own code page is the OEM one, not the
    // code page passwords are kept in.
    std::wstring line;
    line.reserve(256);
    bool ok = false;
    for (;;) {
        wchar_t buf[64];
        DWORD n = 0;
        if (!ReadConsoleW(in, buf, DWORD(std::size(buf)), &n, nullptr) || n == 0) break;
        const wchar_t *end = std::find(buf, buf + n, L'\n');
        line.append(buf, size_t(end - buf));
        SecureZeroMemory(buf, sizeof buf);
        if (end != buf + n) {
            ok = true;
            break;
        }
    }
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    out->clear();
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.data(), int(line.size()), nullptr, 0, nullptr, nullptr);
    if (bytes > 0) {
        out->resize(size_t(bytes));
        WideCharToMultiByte(CP_UTF8, 0, line.data(), int(line.size()), out->data(), bytes, nullptr, nullptr);
    }
    SecureZeroMemory(line.data(), line.size() * sizeof(wchar_t));
    SetConsoleMode(in, saved);
    gQuietConsole = INVALID_HANDLE_VALUE;
    SetConsoleCtrlHandler(restoreOnBreak, FALSE);
    // The Enter key was not echoed either.
    std::fprintf(stderr, "\n");
    // Ctrl+Z then Enter is the console's end of input.
    if (ok && out->find('\x1a') != std::string::npos) ok = false;
    if (!ok) {
        out->clear();
        *error = "password entry ended without a line";
    }
    return ok;
}

bool readHidden(const char *prompt, std::string *out, std::string *error) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD saved = 0;
    if (in != nullptr && in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &saved))
        return readConsoleHidden(in, saved, prompt, out, error);
    // Standard input is no console: a terminal that is not one (mintty and the
    // like hand their input over a pipe) or a redirection. Its echo is not ours
    // to switch off; the password is the next line, as typed there.
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    if (!std::getline(std::cin, *out)) {
        *error = "password entry ended without a line";
        return false;
    }
    return true;
}
#else
// The terminal's settings while echo is off, so that an interrupt does not
// leave the user's terminal without echo.
int gQuietFd = -1;
termios gSavedTermios{};

extern "C" void restoreAndExit(int sig) {
    if (gQuietFd >= 0) tcsetattr(gQuietFd, TCSAFLUSH, &gSavedTermios);
    signal(sig, SIG_DFL);
    raise(sig);
}

bool readHidden(const char *prompt, std::string *out, std::string *error) {
    FILE *tty = std::fopen("/dev/tty", "r+");
    if (!tty) {
        *error = "no terminal to read the password from; give it with --password-stdin";
        return false;
    }
    int fd = fileno(tty);
    termios saved{};
    bool restore = tcgetattr(fd, &saved) == 0;
    struct sigaction onSignal {
    }, oldInt{}, oldTerm{}, oldHup{};
    if (restore) {
        gSavedTermios = saved;
        gQuietFd = fd;
        onSignal.sa_handler = restoreAndExit;
        sigemptyset(&onSignal.sa_mask);
        sigaction(SIGINT, &onSignal, &oldInt);
        sigaction(SIGTERM, &onSignal, &oldTerm);
        sigaction(SIGHUP, &onSignal, &oldHup);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    std::fprintf(tty, "%s", prompt);
    std::fflush(tty);
    out->clear();
    bool ok = false;
    for (;;) {
        int c = std::fgetc(tty);
        if (c == EOF) break;
        if (c == '\n') {
            ok = true;
            break;
        }
        out->push_back(char(c));
    }
    if (restore) {
        tcsetattr(fd, TCSAFLUSH, &saved);
        gQuietFd = -1;
        sigaction(SIGINT, &oldInt, nullptr);
        sigaction(SIGTERM, &oldTerm, nullptr);
        sigaction(SIGHUP, &oldHup, nullptr);
    }
    std::fclose(tty);
    if (!ok) *error = "password entry ended without a line";
    return ok;
}
#endif

} // namespace

void wipe(void *bytes, size_t size) {
    if (!bytes || size == 0) return;
#if defined(_WIN32)
    SecureZeroMemory(bytes, size);
#else
    explicit_bzero(bytes, size);
#endif
}

bool PasswordSource::read(const char *prompt, Password *out, std::string *error, std::string *hint) {
    wipe(out->bytes);
    std::string text;
    // One buffer for the whole line, so that no copy is left where a growing
    // one used to be.
    text.reserve(1024);
    bool ok;
    if (fromStdin_) {
        ok = static_cast<bool>(std::getline(std::cin, text));
        if (!ok)
            *error = "standard input ended before the password for \"" +
                     std::string(prompt).substr(0, std::string(prompt).find(':')) + "\"";
    } else {
        ok = readHidden(prompt, &text, error);
    }
    // A file written on Windows ends its lines in CR LF.
    if (ok && !text.empty() && text.back() == '\r') text.pop_back();
    const platform::PasswordCheck check =
        ok ? platform::passwordBytes(text, &out->bytes) : platform::PasswordCheck::Usable;
    wipe(text);
    if (!ok) {
        *error = "no password: " + *error;
        *hint = "type it at the terminal or give it on standard input with --password-stdin";
        return false;
    }
    switch (check) {
    case platform::PasswordCheck::Usable: return true;
    case platform::PasswordCheck::TooLong:
        *error = "the password is longer than " + std::to_string(platform::kMaxPasswordChars) + " characters";
        *hint = "the windows of every program take no more; choose a shorter one";
        break;
    case platform::PasswordCheck::NotText:
        *error = "the password is not UTF-8 text, or it contains a NUL character";
        *hint = "give it as a line of UTF-8 text";
        break;
    case platform::PasswordCheck::OutsideCodePage:
        *error = "the password contains a character that code page " +
                 std::to_string(platform::ansiCodePage(platform::userDefaultLcid())) +
                 " cannot hold, and every program keeps passwords in the code page of the user's language";
        *hint = "use only characters of that code page, or the locale (LC_ALL or LANG) of the language the password "
                "was made in";
        break;
    }
    return false;
}

ProgressBar::ProgressBar(FILE *out) : out_(out), tty_(isTerminal(out)) {}

void ProgressBar::update(int percent, const char *text) {
    percent = std::clamp(percent, 0, 100);
    std::string phase = text ? text : "";
    if (tty_) {
        constexpr int kWidth = 30;
        int filled = percent * kWidth / 100;
        std::fprintf(out_, "\r[%s%s] %3d%% %-30s", std::string(size_t(filled), '#').c_str(),
                     std::string(size_t(kWidth - filled), ' ').c_str(), percent, phase.c_str());
        std::fflush(out_);
        drawn_ = true;
    } else if (phase != lastText_ || (percent == 100 && lastPercent_ != 100)) {
        std::fprintf(out_, "%3d%% %s\n", percent, phase.c_str());
        std::fflush(out_);
    }
    lastText_ = phase;
    lastPercent_ = percent;
}

void ProgressBar::finish() {
    if (tty_ && drawn_) std::fprintf(out_, "\n");
    drawn_ = false;
}

} // namespace cli
