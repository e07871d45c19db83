// Orvane: the manager program. No arguments are read.
#include <QApplication>
#include <QMessageBox>

#include <exception>

#include "Apmain.h"
#include "Messagedlg.h"

TMessageFrm *MessageFrm = nullptr;

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    // The name only: a display name would be appended to every window title.
    QApplication::setApplicationName(QStringLiteral("Tarvel"));
    try {
        TMainFrm frm;
        MainFrm = &frm;
        frm.FormCreate();
        MessageFrm = new TMessageFrm;
        frm.show();
        app.exec();
        delete MessageFrm;
        MessageFrm = nullptr;
    } catch (const std::exception &e) {
        QMessageBox::critical(nullptr, QStringLiteral("Tarvel"), QString::fromLocal8Bit(e.what()));
    }
    return 0;
}
