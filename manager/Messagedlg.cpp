#include "Messagedlg.h"

#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTextDocument>
#include <QTimer>

#include "Multlanguage.h"

std::function<void(TMessageFrm *)> TMessageFrm::Responder;

namespace {
constexpr int kClientWidth = 241;
constexpr int kClientHeight = 106;
constexpr int kResultOk = 1;
constexpr int kResultCancel = 2;
} // namespace

TMessageFrm::TMessageFrm(QWidget *parent) : QDialog(parent) {
    setObjectName(QStringLiteral("MessageFrm"));
    // Fixed border, a title but no close box: the box is answered by its buttons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);
    setModal(true);

    mmMsg = new QPlainTextEdit(this);
    mmMsg->setObjectName(QStringLiteral("mmMsg"));
    mmMsg->setGeometry(12, 8, 213, 57);
    mmMsg->setReadOnly(true);
    mmMsg->setFrameShape(QFrame::NoFrame);
    mmMsg->setFocusPolicy(Qt::NoFocus);
    mmMsg->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mmMsg->setTextInteractionFlags(Qt::NoTextInteraction);
    // Three lines of the 14-pixel font fill the 57 pixels by themselves; the
    // document's own margin would push the third out behind a scroll bar.
    mmMsg->document()->setDocumentMargin(0);
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(14);
    mmMsg->setFont(font);
    // Navy text on the form's own background.
    mmMsg->setStyleSheet(QStringLiteral("QPlainTextEdit { color: #000080; background: transparent; border: none; }"));

    BtnCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    BtnCancel->setObjectName(QStringLiteral("BtnCancel"));
    BtnCancel->setGeometry(32, 72, 75, 25);
    BtnCancel->setVisible(false);
    BtnCancel->setAutoDefault(false);

    BtnOk = new QPushButton(QStringLiteral("&OK"), this);
    BtnOk->setObjectName(QStringLiteral("BtnOk"));
    BtnOk->setGeometry(136, 72, 75, 25);
    BtnOk->setDefault(true);

    connect(BtnOk, &QPushButton::clicked, this, [this] { done(kResultOk); });
    connect(BtnCancel, &QPushButton::clicked, this, [this] { done(kResultCancel); });
}

int TMessageFrm::ShowText(const QString &caption, const QString &text, int kind) {
    if (kind != MsgOk && kind != MsgOkCancel) return kResultCancel;
    setWindowTitle(caption);
    // The default texts put a lone line feed between their sentences, the
    // language files CR LF: both are one line break.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    mmMsg->setPlainText(shown);
    if (kind == MsgOk) {
        BtnOk->setVisible(true);
        BtnOk->move(88, 72);
        BtnCancel->setVisible(false);
    } else {
        BtnOk->setVisible(true);
        BtnOk->move(136, 72);
        BtnCancel->setVisible(true);
        BtnCancel->move(32, 72);
    }
    if (QScreen *s = QGuiApplication::primaryScreen()) {
        const QRect r = s->availableGeometry();
        move(r.center() - QPoint(width() / 2, height() / 2));
    }
    if (Responder) {
        auto responder = Responder;
        QTimer::singleShot(0, this, [this, responder] { responder(this); });
    }
    return exec() == kResultOk ? kResultOk : kResultCancel;
}

int ShowMsgStr(QWidget *form, const QString &languageFile, const QString &key, const QString &defaultText) {
    const QString text = TMultLanguage::LoadMsgStr(languageFile, QStringLiteral("MSGSTRING"), key, defaultText);
    TMessageFrm dlg(form);
    return dlg.ShowText(QStringLiteral("Message"), text, MsgOk);
}
