#pragma once
// The one QApplication of the test program (offscreen platform, set by the test environment).

#include <QApplication>

namespace nvx::test {

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

}  // namespace nvx::test
