// TBMThread: a worker-thread component of a form. Start() runs OnExecute once
// on a new thread; OnTerminate follows on the window thread. While a worker
// runs, Start() does nothing.
//
// Workers never touch widgets: they hand changes to the window thread with
// RunOnWindowThread, which queues the call in the owner's event loop.
#pragma once

#include <QObject>

#include <atomic>
#include <functional>
#include <thread>

class TBMThread : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void()>;

    explicit TBMThread(QObject *owner = nullptr);
    // Waits for a running worker: a form must not go while its task still
    // calls into it.
    ~TBMThread() override;

    Handler OnExecute;   // on the worker thread
    Handler OnTerminate; // on the window thread, after OnExecute returned

    // False when a worker of this component still runs (nothing is started).
    bool Start();
    bool Running() const { return running_.load(); }
    // Blocks until the worker has ended (OnTerminate may still be queued).
    void Wait();

private:
    std::thread worker_;
    std::atomic<bool> running_{false};
};

// Queues f to run on the thread of context (the window thread for a form);
// dropped when context is destroyed first.
void RunOnWindowThread(QObject *context, std::function<void()> f);
