// The monitor program against the virtual device on a real pseudo-terminal, under virtual time,
// driven only through the window system: every window shown from the main window answers a
// click with its real effect (a frame on the line, a log line, a file).

#if NVX_APP_GUI && NVX_HAVE_TEST_SUPPORT

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <filesystem>

#include "app/gui/monitor_dlg.h"
#include "app/gui/monitor_program.h"
#include "monitor_doubles.h"
#include "platform/gui/file_dialogs.h"
#include "support/device_harness.h"
#include "support/qt_test_app.h"
#include "support/recording_dialogs.h"
#include "support/recording_file_dialogs.h"
#include "support/scratch_files.h"
#include "support/window_input.h"
#include "tuv/gui/tuv_inside_dlg.h"

namespace nvx::test {
namespace {

template <class T = QWidget>
T* Named(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

class MonitorSessionGuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureTestApp();
        harness_ = std::make_unique<DeviceHarness>(sim::DeviceOptions{},
                                                   DeviceHarness::Stack::OfTheProgram);
        steps_ = std::make_unique<MonitorProgramSteps>(h().clock(), tones_, starter_);
        steps_->CreateTuvCommWindow();
        h().startTickTimer();
        SwitchComPort = 1;  // the virtual device's link
        SetFileDialogs(&fileDialogs_);
    }
    void TearDown() override {
        SetFileDialogs(nullptr);
        steps_.reset();
        harness_.reset();
    }
    DeviceHarness& h() { return *harness_; }

    // Runs the main window; `whileRunning` gets it once its run has begun, with COM 1 opened by
    // a click. The run is ended afterwards in any case, so a window that takes no input fails
    // the test instead of hanging it.
    void run(const std::function<void(CMonitorDlg&)>& whileRunning) {
        steps_->onMainWindow = [&](CMonitorDlg& main) {
            QTimer::singleShot(0, &main, [&] {
                ClickThroughWindow(Named(&main, "openComButton"));
                if (ComPortState == kComPortOpen)
                    whileRunning(main);
                else
                    ADD_FAILURE() << "COM 1 did not open";
                if (!main.logic().ended()) main.logic().CloseMonitor();
            });
        };
        steps_->RunMainWindow();
    }
    // Shows the entry's window from the menu, by mouse.
    QWidget* choose(CMonitorDlg& main, MenuWindow entry) {
        EXPECT_TRUE(ChooseMenuEntry(Named<QMenuBar>(&main, "menuBar"), main.menuAction(entry)));
        QWidget* window = main.subWindow(entry);
        EXPECT_TRUE(window && window->isVisible());
        return window;
    }
    // Advances virtual time until the newest log line is `line`.
    bool logShows(CMonitorDlg& main, const std::string& line, uint64_t maxMs = 10000) {
        return h().advanceUntil(
            [&] { return main.logic().fields().logText.rfind(line + "\r\n", 0) == 0; }, maxMs);
    }

    RecordingToneSink tones_;
    RecordingStarter starter_;
    RecordingFileDialogs fileDialogs_;
    std::unique_ptr<DeviceHarness> harness_;
    std::unique_ptr<MonitorProgramSteps> steps_;
};

TEST_F(MonitorSessionGuiTest, KernelWindowTestsTheCommunicationAndReadsTheVersions) {
    run([&](CMonitorDlg& main) {
        QWidget* kernel = choose(main, MenuWindow::KernelApi);
        ClickThroughWindow(Named(kernel, "testCommunicationButton"));
        EXPECT_TRUE(logShows(main, "I> Communication OK")) << main.logic().fields().logText;
        ASSERT_FALSE(h().device().receivedFrames().empty());
        EXPECT_EQ(h().device().receivedFrames().back().id, 0x0080);

        h().advance(3000);  // the engine holds a result for a while before it takes the next
        for (const char* button : {"hardwareButton", "norvixButton", "applicationButton"}) {
            SCOPED_TRACE(button);
            const std::size_t framesBefore = h().device().receivedFrames().size();
            ClickThroughWindow(Named(kernel, button));
            EXPECT_TRUE(h().advanceUntil(
                [&] { return h().device().receivedFrames().size() > framesBefore; }, 5000));
            EXPECT_EQ(h().device().receivedFrames().back().id, 0x0081)
                << main.logic().fields().logText;
            h().advance(3000);
        }
        for (const char* field : {"hardwareField", "norvixField", "applicationField"})
            EXPECT_FALSE(Named<QLineEdit>(kernel, field)->text().isEmpty()) << field;
    });
}

TEST_F(MonitorSessionGuiTest, StartingTextsAreWrittenAndReadBack) {
    run([&](CMonitorDlg& main) {
        QWidget* texts = choose(main, MenuWindow::StartTexts);
        TypeThroughWindow(Named(texts, "writeLine1"), QStringLiteral("Heizung Nord"));
        TypeThroughWindow(Named(texts, "writeLine2"), QStringLiteral("Kessel 2"));
        ClickThroughWindow(Named(texts, "writeButton"));
        ASSERT_TRUE(logShows(main, "I> Writing text finished", 60000))
            << main.logic().fields().logText;
        EXPECT_NE(h().device().texts().find("Heizung Nord"), std::string::npos)
            << h().device().texts();

        ClickThroughWindow(Named(texts, "readButton"));
        ASSERT_TRUE(logShows(main, "I> Reading text finished", 60000))
            << main.logic().fields().logText;
        EXPECT_EQ(Named<QLineEdit>(texts, "readLine1")->text().trimmed(), "Heizung Nord");
        EXPECT_EQ(Named<QLineEdit>(texts, "readLine2")->text().trimmed(), "Kessel 2");
    });
}

TEST_F(MonitorSessionGuiTest, TrafficWindowShowsTheFramesAndItsViewBoxShowsTheStatistics) {
    run([&](CMonitorDlg& main) {
        QWidget* traffic = choose(main, MenuWindow::Protocol);
        QWidget* kernel = choose(main, MenuWindow::KernelApi);
        ClickThroughWindow(Named(kernel, "testCommunicationButton"));
        ASSERT_TRUE(logShows(main, "I> Communication OK"));
        h().advance(200);
        auto* tx = Named<QPlainTextEdit>(traffic, "txView");
        auto* rx = Named<QPlainTextEdit>(traffic, "rxView");
        EXPECT_TRUE(tx->toPlainText().contains("55 02 02 00 00"))
            << tx->toPlainText().toStdString();
        EXPECT_TRUE(rx->toPlainText().contains("55 02 02")) << rx->toPlainText().toStdString();

        ClickThroughWindow(Named(traffic, "clearTxButton"));
        h().advance(50);
        EXPECT_EQ(tx->toPlainText(), "");

        // Channel 0's View box shows the statistics window; channel 1's controls stay off.
        auto* view = Named<QCheckBox>(traffic, "viewBox");
        EXPECT_TRUE(view->isEnabled());
        ClickThroughWindow(view);
        QWidget& inside = steps_->tuvCommWindow()->insideWindow();
        EXPECT_TRUE(inside.isVisible());
        for (const char* name :
             {"pipeTx1", "pipeRx1", "com1", "txPipeName1", "rxPipeName1", "comPort1"})
            EXPECT_FALSE(Named(traffic, name)->isEnabled()) << name;
    });
}

TEST_F(MonitorSessionGuiTest, ProgrammingToolAnalysesAnImageAndTheReportIsSavedToAFile) {
    ScratchDir dir{"report"};
    const std::string report = dir.file("report.txt");
    fileDialogs_.answers.push_back(report);
    bool reportShown = false;
    run([&](CMonitorDlg& main) {
        QWidget* tool = choose(main, MenuWindow::EepromTools);
        TypeThroughWindow(
            Named(tool, "eepromPath"),
            QString::fromLocal8Bit(NVX_SOURCE_DIR "/tests/fixtures/eeprom/small_image.hex"));
        // The report window is modal: it is answered from inside its own run.
        WhenModalShows(tool, [&](QWidget* window) {
            reportShown = window->windowTitle() == "Error Memory";
            ClickThroughWindow(Named(window, "saveButton"));
            ClickThroughWindow(Named(window, "okButton"));
            if (window->isVisible()) window->close();
        });
        ClickThroughWindow(Named(tool, "analyseButton"));
    });
    EXPECT_TRUE(reportShown);
    ASSERT_EQ(fileDialogs_.asked.size(), 1u);
    EXPECT_TRUE(fileDialogs_.asked[0].save);
    const std::string saved = ReadText(report);
    EXPECT_NE(saved.find("\r\n"), std::string::npos);
    EXPECT_GT(saved.size(), 200u);
}

TEST_F(MonitorSessionGuiTest, SoftwareUpdateLayoutRefusesAProgramWithoutAFile) {
    run([&](CMonitorDlg& main) {
        QWidget* tool = choose(main, MenuWindow::SoftwareUpdate);
        ClickThroughWindow(Named(tool, "programButton"));
        EXPECT_TRUE(logShows(main, "E> No device set", 100)) << main.logic().fields().logText;
    });
}

TEST_F(MonitorSessionGuiTest, AboutBoxIsModalAndClosesWithOk) {
    bool aboutShown = false;
    bool mainBlocked = false;
    run([&](CMonitorDlg& main) {
        WhenModalShows(&main, [&](QWidget* about) {
            aboutShown = about->windowTitle() == "Info";
            // The main window takes no click while the box is open.
            ClickThroughWindow(Named(&main, "openComButton"));
            mainBlocked = ComPortState == kComPortOpen;
            ClickThroughWindow(Named(about, "okButton"));
            if (about->isVisible()) about->close();
        });
        ChooseMenuEntry(Named<QMenuBar>(&main, "menuBar"), Named<QAction>(&main, "aboutAction"));
    });
    EXPECT_TRUE(aboutShown);
    EXPECT_TRUE(mainBlocked);
}

}  // namespace
}  // namespace nvx::test

#endif  // NVX_APP_GUI && NVX_HAVE_TEST_SUPPORT
