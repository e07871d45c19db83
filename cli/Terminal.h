// Reading passwords and drawing the progress bar.
#pragma once

#include <cstdio>
#include <string>

namespace cli {

// Where passwords come from: the controlling terminal without echo, or one per
// line from standard input (--password-stdin).
class PasswordSource {
public:
    explicit PasswordSource(bool fromStdin) : fromStdin_(fromStdin) {}
    // Reads one password for the prompt. False with a reason in *error when
    // none could be read (end of input, no terminal).
    bool read(const char *prompt, std::string *out, std::string *error);

private:
    bool fromStdin_;
};

// The longest password the window's password fields take; a longer one could
// never be typed in to log in there.
constexpr size_t kMaxPasswordLength = 20;

// A one-line progress bar on a terminal, or one line per new phase elsewhere.
class ProgressBar {
public:
    explicit ProgressBar(FILE *out);
    void update(int percent, const char *text);
    // Ends the bar's line.
    void finish();

private:
    FILE *out_;
    bool tty_;
    bool drawn_ = false;
    std::string lastText_;
    int lastPercent_ = -1;
};

bool isTerminal(FILE *f);

} // namespace cli
