// The detection task: runs once at start on its own thread and shows what it
// found through the window thread.
#include <cstring>

#include "Apmain.h"

namespace {
// Linux stands where the NT family stood: the generation that never counts a
// result of 1 as a disk.
int ntFamily() { return 5; }
constexpr int kWindowsMe = 4;
constexpr int kSectorsPerMByte = 2048;
} // namespace

int (*OsGeneration)() = ntFamily;

void TMainFrm::BMInitThreadExecute() {
    InitDiskParams params;
    std::memset(&params, 0, sizeof params);
    const int32_t r = DiskControl->InitFlashDisk(&params);
    const bool found = r == 0 || (r == 1 && OsGeneration() == kWindowsMe);
    if (!found) {
        const QString text = MsgText(QStringLiteral("NODISK"), QStringLiteral("No Flash Disk."));
        RunOnWindowThread(this, [this, text] {
            lbDiskCapacity->setText(text);
            setButtons(false, false);
        });
        return;
    }
    uint8_t table[512] = {};
    if (DiskControl->GetConfigTable(table) <= 0) {
        const QString text = MsgText(QStringLiteral("UNKNOWDISK"), QStringLiteral("Unknow Flash Disk."));
        RunOnWindowThread(this, [this, text] {
            lbDiskCapacity->setText(text);
            setButtons(false, false);
        });
        return;
    }
    DiskControl->UpdateParam();
    // Signed division truncating toward zero, as the capacity is read signed.
    const int32_t mbytes = DiskControl->GetDiskCapacity() / kSectorsPerMByte;
    const QString capacity = QString::number(mbytes) + QStringLiteral("MByte");
    RunOnWindowThread(this, [this, capacity] {
        lbDiskCapacity->setText(capacity);
        BtnFormat->setEnabled(true);
    });
    const bool closed = DiskControl->LoginState() == 0;
    RunOnWindowThread(this, [this, closed] {
        BtnLogin->setEnabled(closed);
        BtnChangePsw->setEnabled(closed);
    });
}
