// The format task: FormatDisk on its own thread, its progress shown in the
// gauge through the window thread.
#include <algorithm>

#include "Apmain.h"
#include "PasswordEdit.h"
#include "RewriteOutcome.h"

void TMainFrm::BMFormatThreadExecute() {
    const int32_t codeBefore = rewrite::errorCode(*DiskControl);
    const uint8_t r = DiskControl->FormatDisk(&Settings, FormatProgress);
    const int32_t code = rewrite::errorCode(*DiskControl);
    FormatRefusal = !r && code != codeBefore && rewrite::refusal(code) ? code : 0;
    // The library has taken its digest; the program closes after every format,
    // so the password need not stay in memory until then.
    passwords::wipe(Settings.password, sizeof Settings.password);
    FormatResult = r != 0;
    Formatting = false;
}

extern "C" int32_t FormatProgress(int32_t percent, const char *text) {
    TMainFrm *frm = MainFrm;
    if (!frm) return 0;
    // The library's text is only valid for this call: copy it before handing over.
    const QString shown = QString::fromLocal8Bit(text ? text : "");
    const int value = std::clamp(percent, 0, 100);
    RunOnWindowThread(frm, [frm, shown, value] {
        frm->progBar->setFormat(shown + QStringLiteral(" %p%"));
        frm->progBar->setValue(value);
    });
    return 0;
}
