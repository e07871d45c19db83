// A device control library made of plain functions whose answers a test sets,
// bound into a TDiskControl in place of the real one, and a wait that keeps
// the window thread's queue flowing.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <dlfcn.h>

#include <atomic>
#include <functional>

#include "DiskControl.h"

namespace fakes {

struct Answers {
    std::atomic<int32_t> init{0}, table{1}, capacity{2048000}, login{0};
    std::atomic<uint8_t> haveTable{1}, formatOk{1}, loadDiskLib{1};
    std::atomic<uint8_t> present{1}; // the bound disk answers GetFlashDiskInfo
    std::atomic<int> removes{0}, frees{0}, haveTableCalls{0}, formats{0};
    std::atomic<bool> holdFormat{false}; // FormatDisk waits while true
    std::atomic<bool> holdInit{false};   // InitFlashDisk waits while true
    std::atomic<bool> initInside{false}; // InitFlashDisk has been entered
};
inline Answers &answers() {
    static Answers a;
    return a;
}
inline void reset() {
    Answers &a = answers();
    a.init = 0, a.table = 1, a.capacity = 2048000, a.login = 0;
    a.haveTable = 1, a.formatOk = 1, a.loadDiskLib = 1, a.present = 1;
    a.removes = 0, a.frees = 0, a.haveTableCalls = 0, a.formats = 0;
    a.holdFormat = false;
    a.holdInit = false;
    a.initInside = false;
}

inline int32_t InitFlashDisk(void *) {
    answers().initInside = true;
    while (answers().holdInit) QThread::msleep(5);
    return answers().init;
}
inline int32_t DiskRemove();
inline int32_t GetConfigTable(uint8_t *t) {
    t[0] = 0x5A;
    return answers().table;
}
inline int32_t UpdateParam() { return 1; }
inline int32_t GetDiskCapacity() { return answers().capacity; }
inline int32_t LoginState() { return answers().login; }
inline int32_t DiskRemove() {
    // A call that overlaps detection would be seen here.
    if (answers().holdInit) answers().removes += 100;
    return ++answers().removes;
}
inline uint8_t GetFlashDiskInfo(uint8_t *) { return answers().present; }
inline int32_t FreeDiskLib() { return ++answers().frees; }
inline uint8_t LoadDiskLib() { return answers().loadDiskLib; }
inline uint8_t HaveCfgTbl() {
    ++answers().haveTableCalls;
    return answers().haveTable;
}
inline uint8_t FormatDisk(FormatSettings *, FormatProgressCallback progress) {
    ++answers().formats;
    progress(10, "Preparing--");
    while (answers().holdFormat) QThread::msleep(5);
    progress(100, "Finish--");
    return answers().formatOk;
}

// A binding to the functions above. Loaded, so that a release calls
// FreeDiskLib; the "module" is the test program itself, which unloading leaves.
inline TDiskControl *control() {
    auto *c = new TDiskControl;
    c->Module = dlopen(nullptr, RTLD_NOW);
    c->Loaded = true;
    c->InitFlashDisk = InitFlashDisk;
    c->GetConfigTable = GetConfigTable;
    c->UpdateParam = UpdateParam;
    c->GetDiskCapacity = GetDiskCapacity;
    c->LoginState = LoginState;
    c->DiskRemove = DiskRemove;
    c->FreeDiskLib = FreeDiskLib;
    c->LoadDiskLib = LoadDiskLib;
    c->HaveCfgTbl = HaveCfgTbl;
    c->FormatDisk = FormatDisk;
    c->GetFlashDiskInfo = GetFlashDiskInfo;
    return c;
}

// Processes the window thread's events until done() or ms have passed.
inline bool waitFor(const std::function<bool()> &done, int ms = 5000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        // Called from inside a posted event (a zero-time single shot), the
        // event loop does not deliver events posted meanwhile until that one
        // returns; they are sent here by hand.
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    QCoreApplication::processEvents();
    return true;
}

} // namespace fakes
