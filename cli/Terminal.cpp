#include "Terminal.h"

#include <algorithm>
#include <iostream>

#if defined(_WIN32)
#include <conio.h>
#include <io.h>
#else
#include <signal.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace cli {

bool isTerminal(FILE *f) {
#if defined(_WIN32)
    return _isatty(_fileno(f)) != 0;
#else
    return isatty(fileno(f)) != 0;
#endif
}

namespace {

#if defined(_WIN32)
bool readHidden(const char *prompt, std::string *out, std::string *error) {
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    out->clear();
    for (;;) {
        int c = _getch();
        if (c == '\r' || c == '\n') break;
        if (c == 3 || c == EOF) {
            *error = "password entry interrupted";
            return false;
        }
        if (c == '\b') {
            if (!out->empty()) out->pop_back();
            continue;
        }
        out->push_back(char(c));
    }
    std::fprintf(stderr, "\n");
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
    struct sigaction onSignal {}, oldInt{}, oldTerm{}, oldHup{};
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

bool PasswordSource::read(const char *prompt, std::string *out, std::string *error) {
    bool ok;
    if (fromStdin_) {
        ok = static_cast<bool>(std::getline(std::cin, *out));
        if (!ok) *error = "standard input ended before the password for \"" +
                          std::string(prompt).substr(0, std::string(prompt).find(':')) + "\"";
    } else {
        ok = readHidden(prompt, out, error);
    }
    if (!ok) return false;
    // A file written on Windows ends its lines in CR LF.
    if (!out->empty() && out->back() == '\r') out->pop_back();
    if (out->find('\0') != std::string::npos) {
        *error = "the password contains a NUL character";
        return false;
    }
    if (out->size() > kMaxPasswordLength) {
        *error = "the password is longer than " + std::to_string(kMaxPasswordLength) + " characters";
        return false;
    }
    return true;
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
