// TMessageFrm: the small modal message box through which the programs show
// every message (text from the language file, an English default otherwise).
#pragma once

#include <QDialog>
#include <QString>
#include <functional>

class QPlainTextEdit;
class QPushButton;
class TMultLanguage;

// MessageKind: which buttons the box offers.
enum MessageKind : int { MsgOk = 1, MsgOkCancel = 2 };

class TMessageFrm : public QDialog {
    Q_OBJECT
public:
    explicit TMessageFrm(QWidget *parent = nullptr);

    QPlainTextEdit *mmMsg;
    QPushButton *BtnCancel;
    QPushButton *BtnOk;

    // 1 after OK, 2 after Cancel or any other way of closing; 2 at once,
    // without showing anything, for a kind other than 1 or 2.
    int ShowText(const QString &caption, const QString &text, int kind);

    // Called with the dialog once it is shown modally (from the dialog's own
    // event loop), so that a test can read it and press a button. Programs
    // never set it.
    static std::function<void(TMessageFrm *)> Responder;
};

// Shows the text of a message key from section "MSGSTRING" of languageFile
// (defaultText when the file or key is missing) in a new box titled "Message"
// with an OK button; returns the box's result.
int ShowMsgStr(QWidget *form, const QString &languageFile, const QString &key, const QString &defaultText);
// The same box for a text already looked up (one that takes arguments).
int ShowMsgText(QWidget *form, const QString &text);
