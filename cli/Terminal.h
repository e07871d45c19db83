// Reading passwords and drawing the progress bar.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace cli {

// Overwrites the bytes of something secret where they lie.
void wipe(void *bytes, size_t size);
inline void wipe(std::string &secret) {
    wipe(secret.data(), secret.size());
    secret.clear();
}

// A password for one use, as the library takes it (the text in the code page
// of the user's language, the rule of every program); overwritten when it goes.
class Password {
public:
    Password() = default;
    ~Password() { wipe(bytes); }
    Password(const Password &) = delete;
    Password &operator=(const Password &) = delete;
    const char *c_str() const { return bytes.c_str(); }
    bool operator==(const Password &other) const { return bytes == other.bytes; }

    std::string bytes;
};

// Where passwords come from: the controlling terminal without echo, or one per
// line from standard input (--password-stdin). Either gives UTF-8 text.
class PasswordSource {
public:
    explicit PasswordSource(bool fromStdin) : fromStdin_(fromStdin) {}
    // Reads one password for the prompt. False with a reason in *error and
    // what to do in *hint when none could be read (end of input, no terminal)
    // or the text cannot be a password: longer than the windows take, or with
    // a character the user's code page lacks, which no window could take either.
    bool read(const char *prompt, Password *out, std::string *error, std::string *hint);

private:
    bool fromStdin_;
};

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
