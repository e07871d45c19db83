// Password edits of the manager's dialogs and the handling of what is typed
// into them: at most 20 characters, drawn as marks, and the typed text wiped
// from memory as soon as it has been used, since it guards the owner's data.
#pragma once

#include <QByteArray>
#include <QLineEdit>

namespace passwords {

// Characters a password edit holds.
constexpr int kMaxChars = 20;
// Bytes of the FormatSettings password field before its terminating NUL.
constexpr int kMaxBytes = 60;

// A password edit: at most kMaxChars characters whose bytes, as handed to the
// library, also fit the settings record's field (a 20-character password of
// characters outside the basic plane would not).
QLineEdit *makeEdit(QWidget *parent, const char *name, QRect geometry);

// The bytes of a password as the library receives them (UTF-8, as the
// command-line front end reads them from the terminal).
QByteArray bytesOf(const QString &text);

// Overwrites the edit's text where it lies and then empties the edit (which
// also drops its undo history).
void wipeEdit(QLineEdit *edit);
// Overwrites the bytes in place.
void wipe(QByteArray &bytes);
void wipe(char *bytes, size_t size);

// The text of a password edit as NUL-terminated bytes for one use; the bytes
// are overwritten when it goes.
class Secret {
public:
    explicit Secret(const QLineEdit *edit);
    ~Secret();
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;
    const char *c_str() const { return bytes_.constData(); }
    const QByteArray &bytes() const { return bytes_; }

private:
    QByteArray bytes_;
};

} // namespace passwords
