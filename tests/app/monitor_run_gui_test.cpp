// The main window as the program runs it, driven through the window system: the windows shown
// from its menu take clicks while it runs, Enter leaves it open, Close Monitor ends the run.

#if NVX_APP_GUI

#include <QApplication>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>

#include "app/gui/monitor_dlg.h"
#include "app/gui/monitor_program.h"
#include "comm/tick.h"
#include "monitor_doubles.h"
#include "support/qt_test_app.h"
#include "support/recording_dialogs.h"
#include "support/window_input.h"

namespace nvx::test {
namespace {

class MonitorRunGuiTest : public StartDirectoryFixture {
protected:
    void SetUp() override {
        EnsureTestApp();
        StartDirectoryFixture::SetUp();
        InitCommStack();
        g_startTickPeriodMs = g_tickPeriodMs = 10;
        steps_.CreateTuvCommWindow();
        StartTickTimer(clock_);
    }

    // Runs the main window; `whileRunning` gets it once its run has begun. The run is ended
    // afterwards in any case, so a window that takes no input fails the test instead of hanging.
    void run(const std::function<void(CMonitorDlg&)>& whileRunning) {
        steps_.onMainWindow = [&](CMonitorDlg& main) {
            QTimer::singleShot(0, &main, [&] {
                whileRunning(main);
                if (!main.logic().ended()) main.logic().CloseMonitor();
            });
        };
        steps_.RunMainWindow();
    }

    VirtualClock clock_;
    RecordingToneSink tones_;
    RecordingStarter starter_;
    MonitorProgramSteps steps_{clock_, tones_, starter_};
};

TEST_F(MonitorRunGuiTest, WindowsShownFromTheMenuTakeClicksWhileTheMainWindowRuns) {
    std::string log;
    bool textsShown = false;
    bool anyModal = true;
    run([&](CMonitorDlg& main) {
        anyModal = QApplication::activeModalWidget() != nullptr;
        ASSERT_TRUE(ChooseMenuEntry(main.findChild<QMenuBar*>("menuBar"),
                                    main.menuAction(MenuWindow::StartTexts)));
        QWidget* texts = main.subWindow(MenuWindow::StartTexts);
        textsShown = texts->isVisible();
        // Nothing answers on a closed port: after the request's retries the window says so.
        ClickThroughWindow(texts->findChild<QPushButton*>("testButton"));
        clock_.advance(10000);
        log = main.logic().fields().logText;
    });
    EXPECT_FALSE(anyModal);
    EXPECT_TRUE(textsShown);
    EXPECT_EQ(log, "E> No reply from Solvane\r\n");
}

TEST_F(MonitorRunGuiTest, EnterLeavesTheMainWindowOpenAndCloseMonitorEndsIt) {
    bool openAfterEnter = false;
    bool endedByClick = false;
    run([&](CMonitorDlg& main) {
        ClickThroughWindow(main.findChild<QWidget*>("portNumberField"));
        KeyThroughWindow(&main, Qt::Key_Return);
        openAfterEnter = main.isVisible() && !main.logic().ended();
        ClickThroughWindow(main.findChild<QPushButton*>("closeMonitorButton"));
        endedByClick = main.logic().ended() && !main.isVisible();
    });
    EXPECT_TRUE(openAfterEnter);
    EXPECT_TRUE(endedByClick);
}

}  // namespace
}  // namespace nvx::test

#endif  // NVX_APP_GUI
