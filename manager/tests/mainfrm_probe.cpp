// A host for the main window that runs its start-up from whatever folder it is
// copied into and prints what the user would see: each message, then the
// window's state, then whether the close went through.
#include <QApplication>
#include <QPlainTextEdit>

#include <cstdio>
#include <cstdlib>

#include "Apmain.h"
#include "MainFrmFakes.h"
#include "Messagedlg.h"

int main(int argc, char **argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    TMainFrm::CloseWaitMs = 0;
    TMessageFrm::Responder = [](TMessageFrm *d) {
        std::printf("message %s: %s\n", qPrintable(d->windowTitle()), qPrintable(d->mmMsg->toPlainText()));
        d->BtnOk->click();
    };
    {
        TMainFrm frm;
        MainFrm = &frm;
        frm.FormCreate();
        fakes::waitFor([&] { return !frm.BMInitThread->Running(); });
        std::printf("available %d, capacity %s, buttons %d%d%d, gauge %d\n", frm.Available() ? 1 : 0,
                    qPrintable(frm.lbDiskCapacity->text()), frm.BtnFormat->isEnabled(), frm.BtnLogin->isEnabled(),
                    frm.BtnChangePsw->isEnabled(), frm.progBar->value());
        frm.close();
        std::printf("closed\n");
    }
    return 0;
}
