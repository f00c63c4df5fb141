// norvix-monitor-screenshots: runs the monitor program as it starts for a user, opens COM 1,
// lets the kernel window test the communication, and saves a PNG of every window for a person to
// look at (scripts/screenshots.sh runs it under Xvfb beside a virtual device).
//
//   norvix-monitor-screenshots OUTDIR [EEPROM.hex] [monitor switches...]

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/gui/detached_starter.h"
#include "app/gui/monitor_dlg.h"
#include "app/gui/monitor_program.h"
#include "eeprom/gui/error_memory_dlg.h"
#include "platform/qt_timer_service.h"
#include "platform/qt_tones.h"

namespace {

using nvx::CMonitorDlg;
using nvx::MenuWindow;

bool Save(QWidget* window, const QString& dir, const char* name) {
    const QString path = dir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png");
    // A window with a size of its own is drawn at that size, as the user sees it.
    if (!window->testAttribute(Qt::WA_Resized)) window->adjustSize();
    const bool ok = window->grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", path.toLocal8Bit().constData());
    return ok;
}

void Click(QWidget* window, const char* name) {
    if (auto* button = window->findChild<QAbstractButton*>(QString::fromLatin1(name))) button->click();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: norvix-monitor-screenshots OUTDIR [EEPROM.hex] [switches...]\n");
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(outDir);
    std::string eepromImage;
    int first = 2;
    if (argc > 2 && QString::fromLocal8Bit(argv[2]).endsWith(QStringLiteral(".hex"))) {
        eepromImage = argv[2];
        first = 3;
    }
    // The program sees its own name and the switches only.
    std::vector<char*> args = {argv[0]};
    for (int i = first; i < argc; ++i) args.push_back(argv[i]);

    nvx::QtTimerService timers;
    // Message boxes go to standard error: nobody is there to press OK.
    nvx::SilentToneSink tones;
    nvx::QtDetachedStarter starter;
    nvx::MonitorProgramSteps steps(timers, tones, starter);
    int failures = 0;

    steps.onMainWindow = [&](CMonitorDlg& main) {
        main.show();
        QTimer::singleShot(300, &main, [&main] {
            main.logic().OnOpenCloseCom();
            main.logic().ShowProtocolWindow();
            main.logic().ShowKernelApi();
            Click(main.subWindow(MenuWindow::KernelApi), "testCommunicationButton");
        });
        QTimer::singleShot(2000, &main, [&] {
            failures += !Save(&main, outDir, "main-window");
            QWidget* tuv = main.subWindow(MenuWindow::Protocol);
            failures += !Save(tuv, outDir, "tuv-communication");
            auto& inside = steps.tuvCommWindow()->insideWindow();
            inside.show();
            failures += !Save(&inside, outDir, "tuv-inside");
            main.logic().ShowStartTexts();
            failures += !Save(main.subWindow(MenuWindow::StartTexts), outDir, "starting-texts");
            failures += !Save(main.subWindow(MenuWindow::KernelApi), outDir, "kernel-api");
            main.logic().ShowSoftwareUpdate();
            failures += !Save(main.subWindow(MenuWindow::SoftwareUpdate), outDir, "software-update");
            main.logic().ShowEepromTools();
            failures += !Save(main.subWindow(MenuWindow::EepromTools), outDir, "eeprom-tools");
            nvx::CAboutDlg about(&main);
            about.show();
            failures += !Save(&about, outDir, "about");
            if (!eepromImage.empty()) {
                nvx::CErrorMemoryDlg report(eepromImage, 0, &main);
                report.show();
                failures += !Save(&report, outDir, "error-memory");
            }
            main.logic().CloseMonitor();
        });
    };

    // A window that waits for something nobody gives must not hang a script.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        std::fprintf(stderr, "norvix-monitor-screenshots: no pictures after 30 s\n");
        std::exit(1);
    });
    watchdog.start(30000);

    nvx::CMonitorApp program(steps, timers);
    program.InitInstance(static_cast<int>(args.size()), args.data());
    return failures == 0 ? 0 : 1;
}
