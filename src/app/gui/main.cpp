// norvix-monitor: the service tool's windows.

#include <QApplication>
#include <cstdio>

#include "app/gui/monitor_program.h"
#include "app/switches.h"

int main(int argc, char** argv) {
    if (const auto info = nvx::InfoSwitchText(argc, argv)) {
        std::fputs(info->c_str(), stdout);
        return 0;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("norvix-monitor"));
    QApplication::setApplicationVersion(QStringLiteral(NVX_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("norvix-monitor"));
    return nvx::RunMonitorProgram(argc, argv);
}
