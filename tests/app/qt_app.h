#pragma once
// The one QApplication of the test program, on the offscreen platform.

#include <QApplication>

namespace nvx::test {

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    // Run straight from a shell, the tests still need no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

}  // namespace nvx::test
