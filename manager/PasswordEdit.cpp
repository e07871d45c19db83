#include "PasswordEdit.h"

#include <QValidator>

#include <cstring>
#include <string.h>

namespace passwords {

namespace {

// Refuses an input whose bytes would not fit the settings record's field;
// the character count is the edit's own maximum length.
class ByteLimit : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString &input, int &) const override {
        QByteArray b = bytesOf(input);
        const bool fits = b.size() <= kMaxBytes;
        wipe(b);
        return fits ? Acceptable : Invalid;
    }
};

} // namespace

QLineEdit *makeEdit(QWidget *parent, const char *name, QRect geometry) {
    auto *e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setGeometry(geometry);
    e->setEchoMode(QLineEdit::Password);
    e->setMaxLength(kMaxChars);
    e->setValidator(new ByteLimit(e));
    // The marks are the only trace of a password on screen; nothing to copy.
    e->setContextMenuPolicy(Qt::NoContextMenu);
    return e;
}

QByteArray bytesOf(const QString &text) { return text.toUtf8(); }

void wipe(char *bytes, size_t size) {
    if (bytes && size) explicit_bzero(bytes, size);
}

void wipe(QByteArray &bytes) {
    // Only a buffer of our own is overwritten; a shared one belongs to others too.
    if (!bytes.isEmpty() && bytes.isDetached()) wipe(bytes.data(), size_t(bytes.size()));
    bytes.clear();
}

void wipeEdit(QLineEdit *edit) {
    if (!edit) return;
    {
        // text() shares the edit's own buffer: overwrite it where it lies.
        const QString t = edit->text();
        if (!t.isEmpty())
            wipe(reinterpret_cast<char *>(const_cast<QChar *>(t.constData())), size_t(t.size()) * sizeof(QChar));
    }
    // setText (unlike clear) drops the undo history with the typed characters.
    edit->setText(QString());
}

// QByteArray keeps a NUL after its bytes (an empty one gives ""), so the bytes
// pass to the library as they are.
Secret::Secret(const QLineEdit *edit) : bytes_(bytesOf(edit ? edit->text() : QString())) {}

Secret::~Secret() { wipe(bytes_); }

} // namespace passwords
