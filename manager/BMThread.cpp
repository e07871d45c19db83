#include "BMThread.h"

#include <QMetaObject>
#include <QPointer>

TBMThread::TBMThread(QObject *owner) : QObject(owner) {}

TBMThread::~TBMThread() { Wait(); }

bool TBMThread::Start() {
    if (running_.exchange(true)) return false;
    // The previous worker has ended (running_ was false); collect it.
    if (worker_.joinable()) worker_.join();
    worker_ = std::thread([this] {
        if (OnExecute) OnExecute();
        // Queued before the worker is marked ended, so that a reader who sees
        // Running() false and then drains the event queue sees OnTerminate too.
        QPointer<TBMThread> self(this);
        QMetaObject::invokeMethod(
            this,
            [self] {
                if (self && self->OnTerminate) self->OnTerminate();
            },
            Qt::QueuedConnection);
        running_.store(false);
    });
    return true;
}

void TBMThread::Wait() {
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

void RunOnWindowThread(QObject *context, std::function<void()> f) {
    QMetaObject::invokeMethod(context, std::move(f), Qt::QueuedConnection);
}
