// The monitor program while a firmware update has the device, driven only through the window
// system: the virtual device on a real pseudo-terminal under virtual time, the stand-in programmer
// as a real child process. Nothing a person can click or type takes the port from the procedure,
// every way out asks first, and an ending that leaves the device in its bootloader says how to
// go on, which then works.

#if defined(NVX_PROGTOOL_GUI) && defined(NVX_MONITOR_PROGRAM)

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>

#include "app/gui/monitor_dlg.h"
#include "app/gui/monitor_program.h"
#include "progtool/gui/prog_tool_dlg.h"
#include "support/device_harness.h"
#include "support/qt_test_app.h"
#include "support/recording_dialogs.h"
#include "support/window_input.h"

namespace nvx::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kFirmware =
    ":03000000010203F7\r\n"
    ":040003001020304059\r\n"
    ":00000001FF\r\n";
constexpr int kProgrammerWaitMs = 5000;
constexpr const char* kQuestion = "A device update is running. Quit anyway?";

template <class T = QWidget>
T* Named(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

class NoDetachedStarts : public DetachedStarter {
public:
    bool StartDetached(const std::string&, const std::vector<std::string>&) override {
        return false;
    }
};

class ProcedureWindowGuiTest : public ::testing::Test {
protected:
    void SetUp() override { EnsureTestApp(); }
    void TearDown() override {
        steps_.reset();
        harness_.reset();
    }

    // The device (started in its bootloader when asked), the program's pump and stack, and the
    // Programming Tool preset by the command line's /P and /D to the green display's firmware.
    void Start(bool deviceInBootloader = false) {
        sim::DeviceOptions options;
        options.row = 3;
        options.startInBootloader = deviceInBootloader;
        harness_ = std::make_unique<DeviceHarness>(options, DeviceHarness::Stack::OfTheProgram);
        const std::string dir = harness_->startDirectory();
        fs::copy_file(NVX_STANDIN_PROGRAMMER, dir + "norvixosp.exe");
        std::ofstream(dir + "SolBed_fw.hex", std::ios::binary) << kFirmware;
        PresetProgramFile = dir + "SolBed_fw.hex";
        DeviceStem = "solbed";
        SwitchComPort = 1;
        steps_ = std::make_unique<MonitorProgramSteps>(h().clock(), tones_, starter_);
        steps_->CreateTuvCommWindow();
        h().startTickTimer();
    }
    DeviceHarness& h() { return *harness_; }

    // Runs the main window; `whileRunning` gets it with COM 1 opened by a click and the
    // Programming Tool shown from the menu. A window still open afterwards is closed, so a test
    // that fails cannot hang.
    void run(const std::function<void(CMonitorDlg&, CProgToolDlg&)>& whileRunning) {
        steps_->onMainWindow = [&](CMonitorDlg& main) {
            QTimer::singleShot(0, &main, [&] {
                ClickThroughWindow(Named(&main, "openComButton"));
                auto* tool = dynamic_cast<CProgToolDlg*>(choose(main, MenuWindow::SoftwareUpdate));
                if (ComPortState == kComPortOpen && tool != nullptr)
                    whileRunning(main, *tool);
                else
                    ADD_FAILURE() << "COM 1 did not open or no Programming Tool";
                if (!main.logic().ended()) {
                    if (tool) tool->logic().RequestAbort();
                    advanceUntil(*tool, [&] { return tool->logic().IsIdle(); }, 60000);
                    main.logic().CloseMonitor();
                }
            });
        };
        steps_->RunMainWindow();
    }
    QWidget* choose(CMonitorDlg& main, MenuWindow entry) {
        EXPECT_TRUE(ChooseMenuEntry(Named<QMenuBar>(&main, "menuBar"), main.menuAction(entry)));
        QWidget* window = main.subWindow(entry);
        EXPECT_TRUE(window && window->isVisible());
        return window;
    }
    // Virtual time, a tick at a time; a programmer that runs is waited for first (up to a few real
    // seconds a tick, room for a loaded machine), so its run takes no virtual time.
    bool advanceUntil(CProgToolDlg& tool, const std::function<bool()>& pred, uint64_t maxMs) {
        for (uint64_t waited = 0; waited < maxMs; waited += 10) {
            if (pred()) return true;
            tool.logic().procedure().WaitForProgrammer(kProgrammerWaitMs);
            h().advance(10);
        }
        return pred();
    }
    static bool Newest(CMonitorDlg& main, const std::string& line) {
        return main.logic().fields().logText.rfind(line + "\r\n", 0) == 0;
    }
    static bool Logged(CMonitorDlg& main, const std::string& line) {
        return main.logic().fields().logText.find(line + "\r\n") != std::string::npos;
    }
    // Answers the question box that the next action opens: Return takes its default answer.
    QString* answerNextQuestion(QWidget* owner, bool yes) {
        auto* asked = new QString;
        asked_.reset(asked);
        WhenModalShows(owner, [asked, yes](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box) return;
            *asked = box->text();
            if (yes)
                ClickThroughWindow(box->button(QMessageBox::Yes));
            else
                KeyThroughWindow(box, Qt::Key_Return);
        });
        return asked;
    }

    RecordingToneSink tones_;
    NoDetachedStarts starter_;
    std::unique_ptr<QString> asked_;
    std::unique_ptr<DeviceHarness> harness_;
    std::unique_ptr<MonitorProgramSteps> steps_;
};

// Every control that could reach the device or its port, by window.
struct DeviceControl {
    MenuWindow window;
    const char* name;
};
const DeviceControl kDeviceControls[] = {
    {MenuWindow::KernelApi, "sendCommandButton"},   {MenuWindow::KernelApi, "hardwareButton"},
    {MenuWindow::KernelApi, "applicationButton"},   {MenuWindow::KernelApi, "tunnelOnButton"},
    {MenuWindow::KernelApi, "testCommunicationButton"},
    {MenuWindow::StartTexts, "readButton"},         {MenuWindow::StartTexts, "writeButton"},
    {MenuWindow::StartTexts, "testButton"},         {MenuWindow::SoftwareUpdate, "programButton"},
    {MenuWindow::SoftwareUpdate, "programFileButton"},
};

TEST_F(ProcedureWindowGuiTest, NoClickOrKeyTakesThePortFromARunningUpdate) {
    Start();
    run([&](CMonitorDlg& main, CProgToolDlg& tool) {
        choose(main, MenuWindow::KernelApi);
        choose(main, MenuWindow::StartTexts);
        auto* openCom = Named<QPushButton>(&main, "openComButton");
        auto* portField = Named<QLineEdit>(&main, "portNumberField");
        const auto deviceControlsEnabled = [&](bool enabled) {
            EXPECT_EQ(openCom->isEnabled(), enabled);
            for (const DeviceControl& c : kDeviceControls) {
                if (c.window == MenuWindow::SoftwareUpdate) continue;  // the tool's own rule
                EXPECT_EQ(Named(main.subWindow(c.window), c.name)->isEnabled(), enabled) << c.name;
            }
        };

        ClickThroughWindow(Named(&tool, "programButton"));
        ASSERT_FALSE(tool.logic().IsIdle());
        deviceControlsEnabled(false);
        EXPECT_FALSE(portField->isEnabled());

        // The bootloader has the line: the monitor's port is closed, and stays so.
        ASSERT_TRUE(advanceUntil(tool, [] { return ComPortState == kComPortClosed; }, 10000));
        EXPECT_EQ(Named<QLabel>(&main, "statusLine")->text(), "TUV Port Closed");
        deviceControlsEnabled(false);
        EXPECT_FALSE(portField->isEnabled());
        const std::size_t framesBefore = h().device().receivedFrames().size();
        ClickThroughWindow(openCom);
        TypeThroughWindow(portField, QStringLiteral("2"));
        ClickThroughWindow(Named(main.subWindow(MenuWindow::KernelApi), "testCommunicationButton"));
        ClickThroughWindow(Named(main.subWindow(MenuWindow::StartTexts), "readButton"));
        EXPECT_EQ(ComPortState, kComPortClosed);
        EXPECT_EQ(ComPortNumber, 1);
        EXPECT_FALSE(Logged(main, "I> COM Port Opened") &&
                     main.logic().fields().logText.find("I> COM Port Opened") <
                         main.logic().fields().logText.find(" > Bootloader started"));

        ASSERT_TRUE(advanceUntil(tool, [&] { return Newest(main, "I> Update finished"); }, 60000))
            << main.logic().fields().logText;
        EXPECT_EQ(h().device().receivedFrames().size(), framesBefore) << "nothing else was sent";
        EXPECT_FALSE(h().device().inBootloader());
        EXPECT_EQ(ComPortState, kComPortOpen);
        EXPECT_EQ(ComPortNumber, 1);
        // Given back: the controls follow the port again.
        deviceControlsEnabled(true);
        EXPECT_FALSE(portField->isEnabled()) << "the port is open";
        ClickThroughWindow(openCom);
        EXPECT_EQ(ComPortState, kComPortClosed);
        EXPECT_TRUE(portField->isEnabled());
    });
}

// The ways out a person or the desktop has, each tried during an update.
enum class WayOut { Escape, CloseBox, CloseMonitor, Terminate };

void TakeWayOut(CMonitorDlg& main, WayOut way) {
    switch (way) {
    case WayOut::Escape: KeyThroughWindow(&main, Qt::Key_Escape); break;
    // What the window manager sends for the title bar's close box.
    case WayOut::CloseBox: WindowOf(&main)->close(); break;
    case WayOut::CloseMonitor:
        ClickThroughWindow(main.findChild<QWidget*>("closeMonitorButton"));
        break;
    case WayOut::Terminate:
        ::kill(::getpid(), SIGTERM);
        break;
    }
}

class WayOutDuringAnUpdate : public ProcedureWindowGuiTest,
                             public ::testing::WithParamInterface<WayOut> {};

TEST_P(WayOutDuringAnUpdate, AsksWithNoAsTheDefaultAndNoLetsTheUpdateFinish) {
    Start();
    run([&](CMonitorDlg& main, CProgToolDlg& tool) {
        ClickThroughWindow(Named(&tool, "programButton"));
        ASSERT_TRUE(advanceUntil(tool, [] { return ComPortState == kComPortClosed; }, 10000));
        QString* asked = answerNextQuestion(&main, /*yes=*/false);
        TakeWayOut(main, GetParam());
        // A signal arrives through the event loop.
        EXPECT_TRUE(QTest::qWaitFor([&] { return !asked->isEmpty(); }, 5000));
        EXPECT_EQ(*asked, kQuestion);
        EXPECT_FALSE(main.logic().ended());
        EXPECT_TRUE(main.isVisible());
        ASSERT_TRUE(advanceUntil(tool, [&] { return Newest(main, "I> Update finished"); }, 60000))
            << main.logic().fields().logText;
        EXPECT_FALSE(h().device().inBootloader());
        EXPECT_FALSE(main.logic().ended());
    });
}

TEST_P(WayOutDuringAnUpdate, YesLetsTheDeviceGoBeforeTheProgramEnds) {
    Start();
    run([&](CMonitorDlg& main, CProgToolDlg& tool) {
        ClickThroughWindow(Named(&tool, "programButton"));
        ASSERT_TRUE(advanceUntil(tool, [] { return ComPortState == kComPortClosed; }, 10000));
        ASSERT_TRUE(h().device().inBootloader());
        QString* asked = answerNextQuestion(&main, /*yes=*/true);
        TakeWayOut(main, GetParam());
        EXPECT_TRUE(QTest::qWaitFor([&] { return !asked->isEmpty(); }, 5000));
        EXPECT_EQ(*asked, kQuestion);
        EXPECT_FALSE(main.logic().ended()) << "not before the device is let go";
        ASSERT_TRUE(advanceUntil(tool, [&] { return main.logic().ended(); }, 60000))
            << main.logic().fields().logText;
        EXPECT_TRUE(Logged(main, "E> Update aborted")) << main.logic().fields().logText;
        EXPECT_FALSE(h().device().inBootloader());
    });
}

INSTANTIATE_TEST_SUITE_P(EveryWay, WayOutDuringAnUpdate,
                         ::testing::Values(WayOut::Escape, WayOut::CloseBox, WayOut::CloseMonitor,
                                           WayOut::Terminate),
                         [](const ::testing::TestParamInfo<WayOut>& p) {
                             switch (p.param) {
                             case WayOut::Escape: return "Escape";
                             case WayOut::CloseBox: return "CloseBox";
                             case WayOut::CloseMonitor: return "CloseMonitor";
                             case WayOut::Terminate: return "Terminate";
                             }
                             return "";
                         });

// Each ending that may leave the device in its bootloader names its state last in the log, and
// what it says to do then works in the same run of the monitor.
enum class Ending { ReplyLost, ProgrammerFailed, PortLost };

struct EndingCase {
    Ending ending;
    const char* name;
    const char* cause;   // a line the ending logs
    const char* advice;  // the newest line after it
    bool inBootloader;   // where the ending leaves the device
    bool manualStart;    // the advice: Program again with Manual Update Start Mode
};

class EndingThatNeedsRecovery : public ProcedureWindowGuiTest,
                                public ::testing::WithParamInterface<EndingCase> {};

TEST_P(EndingThatNeedsRecovery, TheLogSaysWhatToDoAndThatWorks) {
    const EndingCase& c = GetParam();
    // The reply to BootloadStart lost: the device went into its bootloader all the same.
    Start(/*deviceInBootloader=*/c.ending == Ending::ReplyLost);
    const std::string dir = h().startDirectory();
    if (c.ending == Ending::ProgrammerFailed) std::ofstream(dir + "standin.cfg") << "exit 1\n";
    run([&](CMonitorDlg& main, CProgToolDlg& tool) {
        ClickThroughWindow(Named(&tool, "programButton"));
        if (c.ending == Ending::PortLost) {
            // The port goes away while the programmer has the line.
            ASSERT_TRUE(advanceUntil(tool, [] { return UpdateStep == kStepRunProgrammer; }, 10000))
                << main.logic().fields().logText;
            // The adapter unplugged: its device node is gone.
            fs::rename(dir + "com1", dir + "com1.lost");
            fs::create_symlink(dir + "unplugged", dir + "com1");
        }
        ASSERT_TRUE(advanceUntil(tool, [&] { return tool.logic().IsIdle(); }, 60000));
        EXPECT_TRUE(Newest(main, c.advice)) << main.logic().fields().logText;
        EXPECT_TRUE(Logged(main, c.cause)) << main.logic().fields().logText;
        EXPECT_EQ(h().device().inBootloader(), c.inBootloader);

        // As the log says, without leaving the monitor: the port back, opened by a click.
        if (c.ending == Ending::PortLost) {
            fs::remove(dir + "com1");
            fs::rename(dir + "com1.lost", dir + "com1");
        }
        fs::remove(dir + "standin.cfg");
        if (ComPortState == kComPortClosed) ClickThroughWindow(Named(&main, "openComButton"));
        ASSERT_EQ(ComPortState, kComPortOpen) << main.logic().fields().logText;
        auto* manual = Named<QCheckBox>(&tool, "manualStart");
        if (c.manualStart) {
            ClickThroughWindow(manual, QPoint(manual->height() / 2, manual->height() / 2));
            ASSERT_TRUE(manual->isChecked());
        }
        ClickThroughWindow(Named(&tool, "programButton"));
        ASSERT_TRUE(advanceUntil(tool, [&] { return Newest(main, "I> Update finished"); }, 60000))
            << main.logic().fields().logText;
        EXPECT_FALSE(h().device().inBootloader());
        EXPECT_EQ(ComPortState, kComPortOpen);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Endings, EndingThatNeedsRecovery,
    ::testing::Values(
        EndingCase{Ending::ReplyLost, "ReplyLost", "E> No Reply to API Command",
                   kRecoveryFromBootloaderText, true, true},
        // The exit command went out: the device restarts, perhaps with half a firmware.
        EndingCase{Ending::ProgrammerFailed, "ProgrammerFailed", "E> Update aborted",
                   kRecoveryFromIncompleteFirmwareText, false, false},
        EndingCase{Ending::PortLost, "PortLost", "E> Cannot reopen COM",
                   kRecoveryFromBootloaderText, true, true}),
    [](const ::testing::TestParamInfo<EndingCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace nvx::test

#endif
