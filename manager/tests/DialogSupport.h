// Shared by the dialog tests: a main window bound to a chosen library (the
// real one on an emulated flash disk, or plain functions whose answers a test
// sets), the message boxes it shows recorded and answered, modal dialogs
// answered from a timer, and screenshots saved as test artefacts.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <string>

#include "Apmain.h"
#include "FlashEmulator.h"
#include "MainFrmFakes.h"
#include "Messagedlg.h"
#include "QtTestApp.h"

namespace dialogs {

namespace fs = std::filesystem;

// No language file for this locale beside the test program: the English
// defaults show; the waits of the main window are cut short.
struct QuietEnvironment : ::testing::Environment {
    void SetUp() override {
        setenv("LC_ALL", "fr_FR.UTF-8", 1);
        TMainFrm::CloseWaitMs = 0;
        TMainFrm::FormatResultDelayMs = 0;
    }
};

// A main window. Every message box is recorded and answered with OK (or by
// onMessage when set).
struct Main {
    TMainFrm frm;
    QStringList messages;
    std::function<void(TMessageFrm *)> onMessage;
    Main() {
        MainFrm = &frm;
        fakes::reset();
        TMessageFrm::Responder = [this](TMessageFrm *d) {
            messages << d->mmMsg->toPlainText();
            if (onMessage) onMessage(d);
            d->BtnOk->click();
        };
    }
    ~Main() {
        frm.close();
        TMessageFrm::Responder = nullptr;
        TMainFrm::FormatSettingDialog = nullptr;
        TMainFrm::LoginDialog = nullptr;
        TMainFrm::ChangePasswordDialog = nullptr;
        if (MainFrm == &frm) MainFrm = nullptr;
    }
    // The real library on the emulated disk, detection run to its end.
    bool startOnDisk() {
        frm.FormCreate();
        if (!frm.Available()) return false;
        return fakes::waitFor([&] { return !frm.BMInitThread->Running(); }, 20000);
    }
};

// A factory-fresh emulated flash disk in a temporary directory of its own,
// selected for the library through the environment (absolute: the library
// changes the current directory during a format).
struct Disk {
    fs::path dir;
    explicit Disk(uint32_t sectors, flashemu::TableKind table = flashemu::TableKind::Version) {
        dir = fs::absolute(fs::temp_directory_path() /
                           ("dialogs-disk-" + std::to_string(getpid()) + "-" + std::to_string(counter++)));
        flashemu::DiskOptions o;
        o.sectors = sectors;
        o.table = table;
        std::string error;
        if (!flashemu::createDisk(dir.string(), o, &error)) throw std::runtime_error(error);
        setenv(flashemu::kDiskEnv, dir.c_str(), 1);
    }
    ~Disk() {
        unsetenv(flashemu::kDiskEnv);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string str() const { return dir.string(); }
    static inline int counter = 0;
};

// Runs f on the modal dialog of type T once it is shown (from its own event
// loop). Gives up after ms.
template <typename T> void whenModal(std::function<void(T *)> f, int ms = 10000) {
    auto *timer = new QTimer;
    auto *clock = new QElapsedTimer;
    clock->start();
    QObject::connect(timer, &QTimer::timeout, [timer, clock, f, ms] {
        T *d = qobject_cast<T *>(QApplication::activeModalWidget());
        if (!d && clock->elapsed() < ms) return;
        timer->stop();
        timer->deleteLater();
        delete clock;
        if (d) f(d);
    });
    timer->start(10);
}

// Types text into w one character at a time, as a keyboard would (also
// characters that QTest::keyClicks cannot name).
inline void type(QWidget *w, const QString &text) {
    for (char32_t c : text.toUcs4()) {
        const QString one = QString::fromUcs4(&c, 1);
        QTest::sendKeyEvent(QTest::Press, w, Qt::Key_unknown, one, Qt::NoModifier);
        QTest::sendKeyEvent(QTest::Release, w, Qt::Key_unknown, one, Qt::NoModifier);
    }
}

// Clicks a button where a user would: a radio button on its mark.
inline void click(QAbstractButton *b) {
    if (qobject_cast<QRadioButton *>(b))
        QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(8, b->height() / 2));
    else
        QTest::mouseClick(b, Qt::LeftButton);
}

// Saves the widget as it is drawn into the build's test-artefact folder.
inline bool screenshot(QWidget *w, const QString &name) {
    const QString dir = QStringLiteral(ARTIFACT_DIR);
    QDir().mkpath(dir);
    return w->grab().save(dir + "/" + name);
}

} // namespace dialogs
