// The detection task: runs once at start on its own thread and shows what it
// found through the window thread.
#include <cstdlib>
#include <cstring>
#include <optional>

#include "Apmain.h"
#include "FlashEmulator.h"
#include "PassthroughBackend.h"
#include "ScsiTransport.h"

namespace {
// Linux stands where the NT family stood: the generation that never counts a
// result of 1 as a disk.
int ntFamily() { return 5; }
constexpr int kWindowsMe = 4;
constexpr int kSectorsPerMByte = 2048;
} // namespace

int (*OsGeneration)() = ntFamily;

namespace {
// The real disk the last survey found ready, if any: the one the transport takes.
std::optional<passthrough::DiskEntry> gBound;

BoundDisk surveyMachine(TDiskControl &dll) {
    gBound.reset();
    const char *dir = std::getenv(flashemu::kDiskEnv);
    if (dir && *dir) return {QString::fromLocal8Bit(dir), QStringLiteral("emulated flash disk"), 1};
    // The transport holds the disk it opened when it was loaded: let it go, so
    // that every disk is seen as the transport will see it when it chooses.
    if (dll.FreeFlashDisk) dll.FreeFlashDisk();
    passthrough::PassthroughBackend core(passthrough::machineDisks(), passthrough::machineOptions());
    const auto found = core.survey();
    BoundDisk bound{QString(), QString(), int(found.size())};
    for (const auto &c : found) {
        if (c.state != passthrough::Candidate::State::Ready) continue;
        const auto &id = c.disk.identity;
        gBound = c.disk;
        bound.node = QString::fromStdString(c.disk.node);
        bound.identity = QString::fromStdString(id.vendor + " " + id.product + " " + id.revision).simplified();
        break;
    }
    return bound;
}

QString unmountMachineDisk() {
    if (!gBound) return {};
    const auto stays = passthrough::unmountBeforeFormat(passthrough::machineDisks(), *gBound);
    QStringList text;
    for (const auto &s : stays) text << QString::fromStdString(s);
    return text.join(QStringLiteral("\n"));
}
} // namespace

BoundDisk (*SurveyDisks)(TDiskControl &dll) = surveyMachine;
QString (*UnmountBoundDisk)() = unmountMachineDisk;

void TMainFrm::BMInitThreadExecute() {
    const BoundDisk bound = SurveyDisks(*DiskControl);
    InitDiskParams params;
    std::memset(&params, 0, sizeof params);
    const int32_t r = DiskControl->InitFlashDisk(&params);
    const bool found = r == 0 || (r == 1 && OsGeneration() == kWindowsMe);
    if (!found) {
        // One writer at a time: the disk stays with the program that has it.
        const QString text = r == SCSI_INIT_BUSY ? MsgText(QStringLiteral("DISKBUSY"),
                                                           QStringLiteral("Flash Disk in use by another program."))
                                                 : MsgText(QStringLiteral("NODISK"), QStringLiteral("No Flash Disk."));
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
    // Which disk a format would wipe, in sight before the button is pressed;
    // the identity and the whole text in the label's tip.
    QString disk, tip;
    if (!bound.node.isEmpty()) {
        disk = MsgText(QStringLiteral("DISKNODE"), QStringLiteral("Disk:")) + QLatin1Char(' ') + bound.node +
               QStringLiteral(", ") + capacity;
        if (bound.candidates > 1)
            disk += QLatin1Char(' ') +
                    MsgText(QStringLiteral("MOREDISKS"), QStringLiteral("(first of %1 disks)")).arg(bound.candidates);
        tip = disk + QStringLiteral("\n") + bound.identity;
    }
    RunOnWindowThread(this, [this, capacity, disk, tip] {
        lbDiskCapacity->setText(capacity);
        lbDisk->setText(lbDisk->fontMetrics().elidedText(disk, Qt::ElideMiddle, lbDisk->width()));
        lbDisk->setToolTip(tip);
        BtnFormat->setEnabled(true);
    });
    const bool closed = DiskControl->LoginState() == 0;
    RunOnWindowThread(this, [this, closed] {
        BtnLogin->setEnabled(closed);
        BtnChangePsw->setEnabled(closed);
    });
}
