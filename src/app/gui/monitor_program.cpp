#include "app/gui/monitor_program.h"

#include <QApplication>
#include <QEventLoop>
#include <QScreen>

#include "app/gui/detached_starter.h"
#include "app/gui/monitor_dlg.h"
#include "app/gui/termination_requests.h"
#include "kernel_api/gui/kernel_api_dlg.h"
#include "platform/gui/qt_dialogs.h"
#include "platform/gui/qt_tones.h"
#include "platform/qt_timer_service.h"
#include "progtool/gui/prog_tool_dlg.h"
#include "texts/gui/start_texts_dlg.h"

namespace nvx {

// The plug-in point of the program's windows. A window joins the main menu with one entry here:
//   - a window constructed as Dlg(TimerService&, MonitorShell&) and simply shown from one menu
//     entry: PlainWindow<Dlg>(MenuWindow::...);
//   - anything else: a WindowPlug with the menu entries it serves and a function that creates
//     the window (hidden, without a parent) from the ProgramContext and says how an entry shows
//     it.
// Entries in this order are created in this order when the main window starts. Menu entries no
// plug names stay disabled. The library of a window's class must also be linked into
// nvx_monitor_program (src/app/gui/gui.cmake).
std::vector<WindowPlug> PluggedWindows() {
    return {
        PlainWindow<CStartTextsDlg>(MenuWindow::StartTexts),
        PlainWindow<CKernelApiDlg>(MenuWindow::KernelApi),
        {{MenuWindow::SoftwareUpdate, MenuWindow::EepromTools},
         [](const ProgramContext& c) {
             auto window = std::make_unique<CProgToolDlg>(c.timers, c.shell);
             CProgToolDlg* tool = window.get();
             // Each entry switches the tool to its layout, which shows the window.
             return PluggedWindow{std::move(window), [tool](MenuWindow entry) {
                                      if (entry == MenuWindow::SoftwareUpdate) {
                                          tool->ShowSoftwareUpdate();
                                      } else {
                                          tool->ShowEepromTools();
                                      }
                                  },
                                  [tool] { return !tool->logic().IsIdle(); },
                                  [tool] { tool->logic().RequestAbort(); },
                                  // Its own procedures hold the port: it rests its controls itself.
                                  {}};
         }},
    };
}

MonitorProgramSteps::MonitorProgramSteps(TimerService& timers, ToneSink& tones,
                                         DetachedStarter& starter)
    : timers_(timers), tones_(tones), starter_(starter) {}

MonitorProgramSteps::~MonitorProgramSteps() = default;

void MonitorProgramSteps::EnableControls() {
    QApplication::setWindowIcon(MonitorIcon());
}

void MonitorProgramSteps::CreateTuvCommWindow() {
    tuvComm_ = std::make_unique<CTuvCommDlg>(timers_);
    ports_ = std::make_unique<TuvChannelPorts>(tuvComm_->logic());
}

void MonitorProgramSteps::RunMainWindow() {
    CMonitorDlg main(timers_, *ports_, tones_, starter_, tuvComm_.get(), PluggedWindows());
    if (onMainWindow) onMainWindow(main);
    // The automatic update may have ended the window during its start already.
    if (main.logic().ended()) return;
    // Shown, not exec()'d: a modal run would block input to every window shown from the menu.
    // The program still lives exactly as long as this window.
    QEventLoop run;
    QObject::connect(&main, &QDialog::finished, &run, &QEventLoop::quit);
    // A signal to end is one more way out: the same question while device work runs.
    TerminationRequests termination([&main] { main.logic().CloseMonitor(); });
    // Top left, so the windows of its menu find room beside it.
    main.move(main.screen()->availableGeometry().topLeft());
    main.show();
    run.exec();
}

int RunMonitorProgram(int argc, char** argv) {
    QtTimerService timers;
    QtMessageBoxes boxes;
    SetMessageBoxes(&boxes);
    QtToneSink tones;
    QtDetachedStarter starter;
    MonitorProgramSteps steps(timers, tones, starter);
    int exitCode = 0;
    {
        CMonitorApp app(steps, timers);
        app.InitInstance(argc, argv);
        exitCode = app.ExitCode();
    }
    SetMessageBoxes(nullptr);
    return exitCode;
}

}  // namespace nvx
