// One QApplication for a GoogleTest program, on the offscreen platform unless
// the test run chose another (the X11 tests run under Xvfb).
#pragma once

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

namespace qttest {

inline QApplication *app() {
    static int argc = 1;
    static char name[] = "test";
    static char *argv[] = {name, nullptr};
    if (!QApplication::instance()) {
        if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
        new QApplication(argc, argv);
    }
    return qobject_cast<QApplication *>(QApplication::instance());
}

struct Environment : ::testing::Environment {
    void SetUp() override { app(); }
    // Qt lets go of the font caches it holds only when the application goes.
    void TearDown() override { delete QApplication::instance(); }
};

inline ::testing::Environment *const registered = ::testing::AddGlobalTestEnvironment(new Environment);

} // namespace qttest
