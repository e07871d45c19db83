// Password edits of the manager's dialogs and the handling of what is typed
// into them: at most 20 characters, drawn as marks, and the typed text wiped
// from memory as soon as it has been used, since it guards the owner's data.
#pragma once

#include <QLineEdit>

#include <string>

#include "UnusablePassword.h"

namespace passwords {

// A password edit: at most platform::kMaxPasswordChars characters, drawn as
// marks, nothing to copy out of it.
QLineEdit *makeEdit(QWidget *parent, const char *name, QRect geometry);

// Overwrites the edit's text where it lies and then empties the edit (which
// also drops its undo history).
void wipeEdit(QLineEdit *edit);
// Overwrites the bytes in place.
void wipe(char *bytes, size_t size);

// The text of a password edit as the library takes it, for one use: its bytes
// in the code page of the user's language, the rule of every program
// (platform::passwordBytes). The bytes are overwritten when it goes.
class Secret {
public:
    explicit Secret(const QLineEdit *edit);
    ~Secret();
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;
    // False when the text holds a character the code page lacks: no program
    // could take it, and the dialog says so (kUnusableKey) instead.
    bool usable() const { return usable_; }
    const char *c_str() const { return bytes_.c_str(); }
    const std::string &bytes() const { return bytes_; }

private:
    std::string bytes_;
    bool usable_ = false;
};

} // namespace passwords
