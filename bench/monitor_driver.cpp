// bench_monitor_driver: norvix-monitor as its main() and RunMonitorProgram build it (same windows,
// timers, message boxes and tones), with two additions for monitor_idle.sh: it prints when the
// main window is first painted, counted from the wall-clock time in NVX_BENCH_T0 (seconds, as
// bash's EPOCHREALTIME gives it just before the start), and then clicks "Open COM" the way a user
// does. With --quit-when-shown it ends right after the first paint (start-up timing only); with
// --port-closed it leaves the port closed (the same rest without the port, for comparison).
//
//   bench_monitor_driver [--quit-when-shown | --port-closed] [monitor switches...]

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/gui/detached_starter.h"
#include "app/gui/monitor_dlg.h"
#include "app/gui/monitor_program.h"
#include "platform/gui/qt_dialogs.h"
#include "platform/gui/qt_tones.h"
#include "platform/qt_timer_service.h"

namespace {

double NowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Sees the main window's first paint and reports it once.
class FirstPaint : public QObject {
public:
    FirstPaint(double t0, bool quit, bool open, nvx::CMonitorDlg& main)
        : t0_(t0), quit_(quit), open_(open), main_(main) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!done_ && event->type() == QEvent::Paint) {
            done_ = true;
            const double now = NowSeconds();
            if (t0_ > 0)
                std::printf("shown_ms %.1f\n", (now - t0_) * 1000.0);
            else
                std::printf("shown_ms unknown (NVX_BENCH_T0 not set)\n");
            std::fflush(stdout);
            // After the paint has been handled: the window is on the screen by then.
            QTimer::singleShot(0, &main_, [this] { AfterShown(); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void AfterShown() {
        if (quit_) {
            main_.logic().CloseMonitor();
            return;
        }
        if (!open_) {
            std::printf("com_open no (left closed)\n");
            std::fflush(stdout);
            return;
        }
        auto* open = main_.findChild<QAbstractButton*>(QStringLiteral("openComButton"));
        if (!open) {
            std::printf("com_open no-button\n");
        } else {
            open->click();
            std::printf("com_open %s\n", main_.logic().IsComPortOpen() ? "yes" : "no");
        }
        std::fflush(stdout);
    }

    double t0_;
    bool quit_;
    bool open_;
    nvx::CMonitorDlg& main_;
    bool done_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    bool quitWhenShown = false;
    bool openPort = true;
    std::vector<char*> args = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quit-when-shown") == 0)
            quitWhenShown = true;
        else if (std::strcmp(argv[i], "--port-closed") == 0)
            openPort = false;
        else
            args.push_back(argv[i]);
    }
    const char* t0Text = std::getenv("NVX_BENCH_T0");
    const double t0 = t0Text ? std::atof(t0Text) : 0.0;
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);

    QApplication app(count, args.data());
    QApplication::setApplicationName(QStringLiteral("norvix-monitor"));
    QApplication::setDesktopFileName(QStringLiteral("norvix-monitor"));

    // RunMonitorProgram with the hook on the main window.
    nvx::QtTimerService timers;
    nvx::QtMessageBoxes boxes;
    nvx::SetMessageBoxes(&boxes);
    nvx::QtToneSink tones;
    nvx::QtDetachedStarter starter;
    nvx::MonitorProgramSteps steps(timers, tones, starter);
    std::unique_ptr<FirstPaint> watcher;
    steps.onMainWindow = [&](nvx::CMonitorDlg& main) {
        watcher = std::make_unique<FirstPaint>(t0, quitWhenShown, openPort, main);
        main.installEventFilter(watcher.get());
    };
    int exitCode = 0;
    {
        nvx::CMonitorApp monitor(steps, timers);
        monitor.InitInstance(count, args.data());
        exitCode = monitor.ExitCode();
    }
    nvx::SetMessageBoxes(nullptr);
    return exitCode;
}
