#include "PasswordEdit.h"

#include <QByteArray>

#include <cstring>
#include <string.h>

#include "platform/Locale.h"

namespace passwords {

QLineEdit *makeEdit(QWidget *parent, const char *name, QRect geometry) {
    auto *e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setGeometry(geometry);
    e->setEchoMode(QLineEdit::Password);
    // Twenty characters of any of the code pages are at most 40 bytes, which
    // the settings record's 61-byte field always holds.
    e->setMaxLength(int(platform::kMaxPasswordChars));
    // The marks are the only trace of a password on screen; nothing to copy.
    e->setContextMenuPolicy(Qt::NoContextMenu);
    return e;
}

void wipe(char *bytes, size_t size) {
    if (bytes && size) explicit_bzero(bytes, size);
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

Secret::Secret(const QLineEdit *edit) {
    QByteArray utf8 = (edit ? edit->text() : QString()).toUtf8();
    std::string text(utf8.constData(), size_t(utf8.size()));
    usable_ = platform::passwordBytes(text, &bytes_) == platform::PasswordCheck::Usable;
    wipe(utf8.data(), size_t(utf8.size()));
    wipe(text.data(), text.size());
}

Secret::~Secret() { wipe(bytes_.data(), bytes_.size()); }

} // namespace passwords
