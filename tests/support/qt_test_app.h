#pragma once
// The one QApplication of a test program, on the offscreen platform, deleted after the last
// test: only then does Qt's font database release fontconfig, which LeakSanitizer would otherwise
// report.

#include <gtest/gtest.h>

#include <QApplication>

namespace nvx::test {

inline QApplication* g_testApp = nullptr;

class QtTestAppEnvironment : public ::testing::Environment {
public:
    void TearDown() override {
        delete g_testApp;
        g_testApp = nullptr;
    }
};

inline ::testing::Environment* const kQtTestAppEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtTestAppEnvironment);

inline void EnsureTestApp() {
    if (QApplication::instance()) return;
    // Run straight from a shell, the tests still need no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "nvx_tests";
    static char* argv[] = {name, nullptr};
    g_testApp = new QApplication(argc, argv);
}

}  // namespace nvx::test
