// The main window's logic: monitor log and tones, port number field, Open/Close COM, start,
// automatic update end, menu commands.

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/monitor.h"
#include "app/settings_file.h"
#include "monitor_doubles.h"
#include "support/recording_dialogs.h"
#include "support/scratch_files.h"

namespace nvx::test {
namespace {

using Tones = std::vector<std::pair<uint32_t, uint32_t>>;
const Tones kFalling = {{1000, 120}, {700, 80}};
const Tones kRising = {{700, 120}, {1000, 80}};

class MonitorTest : public StartDirectoryFixture {
protected:
    void SetUp() override {
        StartDirectoryFixture::SetUp();
        monitor_ = std::make_unique<Monitor>(clock_, ports_, tones_, starter_, view_, windows_);
    }
    void TearDown() override {
        monitor_.reset();
        StartDirectoryFixture::TearDown();
    }
    // Runs the window's start and forgets what it did, so a test sees only its own steps.
    void start() {
        monitor_->OnInitDialog();
        ports_.calls.clear();
        tones_.tones.clear();
    }
    // The user edits the port number field to `text` (one edit notification).
    void type(const std::string& text) {
        view_.typed = text;
        monitor_->OnPortNumberChanged();
    }

    VirtualClock clock_;
    RecordingPorts ports_;
    RecordingToneSink tones_;
    RecordingStarter starter_;
    RecordingMonitorView view_;
    RecordingWindows windows_;
    std::unique_ptr<Monitor> monitor_;
};

// ---- monitor log ----

TEST_F(MonitorTest, FirstLineIsTheMessageAndCrLf) {
    monitor_->AppendMonitorLog(" > first");
    EXPECT_EQ(monitor_->fields().logText, " > first\r\n");
    EXPECT_EQ(view_.screen.logText, " > first\r\n");
}

TEST_F(MonitorTest, NewestLineGoesOnTop) {
    monitor_->AppendMonitorLog(" > one");
    monitor_->AppendMonitorLog(" > two");
    EXPECT_EQ(monitor_->fields().logText, " > two\r\n > one\r\n");
}

TEST_F(MonitorTest, LogIsHeldTo1024CharactersAndBeginsWithTheNewest) {
    std::string all;  // everything appended, newest first, as it would stand without a bound
    for (int i = 0; i < 300; ++i) {
        const std::string line = " > line " + std::to_string(i);
        monitor_->AppendMonitorLog(line);
        all = line + "\r\n" + all;
        const std::string& log = monitor_->fields().logText;
        ASSERT_LE(log.size(), kMonitorLogLimit);
        ASSERT_EQ(log.rfind(line + "\r\n", 0), 0u) << "newest line not on top after " << i;
        ASSERT_EQ(log, all.substr(0, kMonitorLogLimit));
    }
    EXPECT_EQ(monitor_->fields().logText.size(), kMonitorLogLimit);
}

TEST_F(MonitorTest, ToneFollowsTheFirstCharacter) {
    const struct {
        const char* message;
        Tones tones;
    } cases[] = {
        {"E> COM Port NOT Open", kFalling},
        {"I> API Command OK", kRising},
        {"Error without the marker", kFalling},
        {"Info", kRising},
        {" > progress", {}},
        {"", {}},
        {"e> lower case", {}},
    };
    for (const auto& c : cases) {
        tones_.tones.clear();
        monitor_->AppendMonitorLog(c.message);
        EXPECT_EQ(tones_.tones, c.tones) << '"' << c.message << '"';
    }
}

TEST_F(MonitorTest, EventCodesGiveTheirLines) {
    const struct {
        int code;
        std::string line;
        Tones tones;
    } cases[] = {
        {1, "I> COM Port Opened", kRising},
        {3, "I> COM Port Closed", kRising},
        {4, "E> COM Port NOT Open", kFalling},
        {9, "E> Can\xB4t find notepad.exe", kFalling},
        {0, "", {}},
        {2, "", {}},
        {5, "", {}},
        {-1, "", {}},
        {10, "", {}},
    };
    for (const auto& c : cases) {
        tones_.tones.clear();
        const std::string before = monitor_->fields().logText;
        monitor_->ReportMonitorEvent(c.code);
        EXPECT_EQ(monitor_->fields().logText, c.line + "\r\n" + before) << "code " << c.code;
        EXPECT_EQ(tones_.tones, c.tones) << "code " << c.code;
    }
}

// ---- start ----

TEST_F(MonitorTest, StartClosesThePortAndCreatesTheSubWindowsAfterwards) {
    ComPortNumber = 4;
    monitor_->OnInitDialog();
    const std::vector<RecordingPorts::Call> closeOnly = {{"close", 0, 0, 0}};
    EXPECT_EQ(ports_.calls, closeOnly);
    EXPECT_EQ(windows_.events, std::vector<std::string>{"create"});
    EXPECT_EQ(view_.screen.statusText, "TUV Port Closed");
    EXPECT_EQ(view_.screen.portNumber, 4);
    EXPECT_EQ(ComPortState, kComPortClosed);
    EXPECT_TRUE(windows_.shown.empty());
    EXPECT_EQ(view_.screen.logText, "");
}

TEST_F(MonitorTest, CommandLinePortReplacesTheSettingsFilePort) {
    const struct {
        int32_t switchPort;
        int32_t expected;
    } cases[] = {{0, 7}, {3, 3}, {-3, -3}};
    for (const auto& c : cases) {
        writeIni(SettingsFileText(7));
        ComPortNumber = 1;
        SwitchComPort = c.switchPort;
        Monitor monitor(clock_, ports_, tones_, starter_, view_, windows_);
        monitor.OnInitDialog();
        EXPECT_EQ(ComPortNumber, c.expected) << "/C " << c.switchPort;
        EXPECT_EQ(view_.screen.portNumber, c.expected) << "/C " << c.switchPort;
    }
}

TEST_F(MonitorTest, AutomaticUpdateOpensThePortAndShowsTheUpdateWindow) {
    ComPortNumber = 2;
    AutoStartState = kAutoStartRequested;
    monitor_->OnInitDialog();
    const std::vector<RecordingPorts::Call> expected = {{"close", 0, 0, 0}, {"open", 0, 2, 19200}};
    EXPECT_EQ(ports_.calls, expected);
    EXPECT_EQ(ComPortState, kComPortOpen);
    EXPECT_EQ(windows_.shown, std::vector<MenuWindow>{MenuWindow::SoftwareUpdate});
    EXPECT_EQ(AutoStartState, kAutoStartShown);
    EXPECT_EQ(view_.buttonText, kCloseComText);
    EXPECT_EQ(monitor_->fields().logText, "I> COM Port Opened\r\n");
}

TEST_F(MonitorTest, AutomaticUpdateGoesOnWhenThePortDoesNotOpen) {
    AutoStartState = kAutoStartRequested;
    ports_.openSucceeds = false;
    monitor_->OnInitDialog();
    EXPECT_EQ(ComPortState, kComPortClosed);
    EXPECT_EQ(windows_.shown, std::vector<MenuWindow>{MenuWindow::SoftwareUpdate});
    EXPECT_EQ(AutoStartState, kAutoStartShown);
}

TEST_F(MonitorTest, FinishedUpdateEndsTheProgramOnTheNextTimerTick) {
    start();
    ComPortState = kComPortOpen;
    clock_.advance(1000);
    EXPECT_TRUE(view_.endResults.empty());

    AutoStartState = kAutoStartFinished;
    clock_.advance(kMonitorTimerPeriodMs - 1);
    EXPECT_TRUE(view_.endResults.empty());
    clock_.advance(1);
    EXPECT_EQ(view_.endResults, std::vector<int>{1});
    EXPECT_EQ(monitor_->fields().logText, "I> COM Port Closed\r\n");

    // An ended window gets no further ticks.
    clock_.advance(1000);
    EXPECT_EQ(view_.endResults, std::vector<int>{1});
}

TEST_F(MonitorTest, TimerStopsWithTheWindow) {
    start();
    EXPECT_EQ(clock_.timerCount(), 1u);
    monitor_.reset();
    EXPECT_EQ(clock_.timerCount(), 0u);
}

// ---- port number field ----

TEST_F(MonitorTest, DigitByDigitEntryIsJudgedAtEveryChange) {
    ComPortNumber = 3;
    start();
    ASSERT_EQ(readIni(), "");  // the writable check made it empty

    type("1");  // "3" selected and overtyped by "1"
    EXPECT_EQ(ComPortNumber, 1);
    EXPECT_EQ(readIni(), SettingsFileText(1));
    std::filesystem::remove(iniPath());

    type("12");
    EXPECT_EQ(ComPortNumber, 12);
    EXPECT_EQ(readIni(), SettingsFileText(12));
    EXPECT_EQ(view_.screen.portNumber, 12);
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(MonitorTest, SameNumberAgainWritesNothing) {
    ComPortNumber = 3;
    start();
    type("5");
    EXPECT_EQ(ComPortNumber, 5);
    EXPECT_EQ(readIni(), SettingsFileText(5));
    std::filesystem::remove(iniPath());
    type("5");  // an edit that leaves the number as it was
    EXPECT_FALSE(std::filesystem::exists(iniPath()));
}

TEST_F(MonitorTest, OutOfRangeNumberPutsTheLastGoodOneBack) {
    const char* cases[] = {"0", "257", "1000", "999999999"};
    for (const char* text : cases) {
        ComPortNumber = 3;
        Monitor monitor(clock_, ports_, tones_, starter_, view_, windows_);
        monitor.OnInitDialog();
        std::filesystem::remove(iniPath());
        view_.typed = text;
        monitor.OnPortNumberChanged();
        EXPECT_EQ(ComPortNumber, 3) << text;
        EXPECT_EQ(view_.screen.portNumber, 3) << text;
        EXPECT_EQ(view_.typed, "3") << text;
        EXPECT_FALSE(std::filesystem::exists(iniPath())) << text;
    }
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(MonitorTest, BoundsOfTheRangeAreAccepted) {
    start();
    type("256");
    EXPECT_EQ(ComPortNumber, 256);
    type("1");
    EXPECT_EQ(ComPortNumber, 1);
}

TEST_F(MonitorTest, EmptyFieldAsksForANumberAndGetsTheNumberBack) {
    ComPortNumber = 3;
    start();
    type("");
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].text, "Please enter an integer.");
    EXPECT_EQ(ComPortNumber, 3);
    EXPECT_EQ(view_.typed, "3");
}

// ---- Open COM / Close COM ----

TEST_F(MonitorTest, OpenAndCloseSetButtonFieldStatusAndLog) {
    ComPortNumber = 6;
    start();
    EXPECT_EQ(view_.screen.statusText, "TUV Port Closed");

    monitor_->OnOpenCloseCom();
    const std::vector<RecordingPorts::Call> opened = {{"open", 0, 6, 19200}};
    EXPECT_EQ(ports_.calls, opened);
    EXPECT_EQ(ComPortState, kComPortOpen);
    EXPECT_TRUE(monitor_->IsComPortOpen());
    EXPECT_FALSE(view_.portFieldEnabled);
    EXPECT_EQ(view_.buttonText, "Close COM");
    EXPECT_EQ(view_.screen.statusText, "TUV Port Open");
    EXPECT_EQ(view_.screen.logText, "I> COM Port Opened\r\n");
    EXPECT_EQ(tones_.tones, kRising);

    monitor_->OnOpenCloseCom();
    EXPECT_EQ(ports_.calls.back(), (RecordingPorts::Call{"close", 0, 0, 0}));
    EXPECT_EQ(ComPortState, kComPortClosed);
    EXPECT_FALSE(monitor_->IsComPortOpen());
    EXPECT_TRUE(view_.portFieldEnabled);
    EXPECT_EQ(view_.buttonText, "Open COM");
    EXPECT_EQ(view_.screen.statusText, "TUV Port Closed");
    EXPECT_EQ(view_.screen.logText, "I> COM Port Closed\r\nI> COM Port Opened\r\n");
}

TEST_F(MonitorTest, ButtonAndStatusAgreeWhenAnotherWindowClosesAndReopensThePort) {
    // The update procedure frees the port for the programmer and takes it back afterwards.
    start();
    monitor_->OnOpenCloseCom();
    monitor_->CloseComPort();
    EXPECT_EQ(view_.screen.statusText, "TUV Port Closed");
    EXPECT_EQ(view_.buttonText, "Open COM");
    EXPECT_TRUE(view_.portFieldEnabled);
    ASSERT_TRUE(monitor_->OpenComPort());
    EXPECT_EQ(view_.screen.statusText, "TUV Port Open");
    EXPECT_EQ(view_.buttonText, "Close COM");
    EXPECT_FALSE(view_.portFieldEnabled);
}

TEST_F(MonitorTest, EveryWayOutAsksTheSameDuringDeviceWorkAndYesEndsOnceTheDeviceIsLetGo) {
    const std::string question = "A device update is running. Quit anyway?";
    for (const bool closeMonitor : {true, false}) {
        SCOPED_TRACE(closeMonitor ? "Close Monitor" : "Escape, close box, window manager");
        view_ = RecordingMonitorView{};
        windows_ = RecordingWindows{};
        monitor_ = std::make_unique<Monitor>(clock_, ports_, tones_, starter_, view_, windows_);
        start();
        const auto quit = [&] { closeMonitor ? monitor_->CloseMonitor() : monitor_->Dismiss(); };
        windows_.deviceWork = true;
        view_.answerYes = false;
        quit();
        EXPECT_EQ(view_.asked, std::vector<std::string>{question});
        EXPECT_EQ(windows_.stops, 0);
        clock_.advance(1000);
        EXPECT_TRUE(view_.endResults.empty());

        // Yes: the work is stopped first; the window ends once it has.
        view_.answerYes = true;
        quit();
        EXPECT_EQ(view_.asked.size(), 2u);
        EXPECT_EQ(windows_.stops, 1);
        EXPECT_EQ(monitor_->fields().logText.rfind(kQuitAfterDeviceWorkLine, 0), 0u);
        quit();  // asked once is enough
        EXPECT_EQ(view_.asked.size(), 2u);
        clock_.advance(1000);
        EXPECT_TRUE(view_.endResults.empty());
        windows_.deviceWork = false;
        clock_.advance(kMonitorTimerPeriodMs);
        EXPECT_EQ(view_.endResults, std::vector<int>{closeMonitor ? 1 : 0});
        EXPECT_TRUE(monitor_->ended());
    }

    // Without device work nobody is asked.
    view_ = RecordingMonitorView{};
    monitor_ = std::make_unique<Monitor>(clock_, ports_, tones_, starter_, view_, windows_);
    start();
    monitor_->Dismiss();
    EXPECT_TRUE(view_.asked.empty());
    EXPECT_EQ(view_.endResults, std::vector<int>{0});
}

TEST_F(MonitorTest, WhileAProcedureHasThePortItsControlsAndTheOtherWindowsRest) {
    start();
    monitor_->OnOpenCloseCom();
    ASSERT_EQ(ComPortState, kComPortOpen);
    monitor_->ClaimComPort(true);
    EXPECT_FALSE(view_.openButtonEnabled);
    EXPECT_FALSE(view_.portFieldEnabled);
    EXPECT_FALSE(windows_.deviceActionsAllowed);

    // The procedure closes the port for the programmer: the field stays disabled.
    monitor_->CloseComPort();
    EXPECT_FALSE(view_.portFieldEnabled);
    EXPECT_FALSE(view_.openButtonEnabled);
    ports_.calls.clear();
    const std::string logBefore = monitor_->fields().logText;
    monitor_->OnOpenCloseCom();
    EXPECT_TRUE(ports_.calls.empty());
    EXPECT_EQ(ComPortState, kComPortClosed);
    type("2");
    EXPECT_EQ(ComPortNumber, 1);
    EXPECT_EQ(view_.screen.portNumber, 1);
    EXPECT_FALSE(std::filesystem::exists(iniPath()) && readIni().find("COM_PORT 2") != std::string::npos);
    EXPECT_EQ(monitor_->fields().logText, logBefore);

    // Let go: everything as the port's state says.
    monitor_->ClaimComPort(false);
    EXPECT_TRUE(view_.openButtonEnabled);
    EXPECT_TRUE(view_.portFieldEnabled);
    EXPECT_TRUE(windows_.deviceActionsAllowed);
    type("2");
    EXPECT_EQ(ComPortNumber, 2);
}

TEST_F(MonitorTest, FailedOpenChangesNothing) {
    start();
    ports_.openSucceeds = false;
    const int writes = view_.writes;
    monitor_->OnOpenCloseCom();
    EXPECT_EQ(ComPortState, kComPortClosed);
    EXPECT_TRUE(view_.portFieldEnabled);
    EXPECT_EQ(view_.buttonText, "Open COM");
    EXPECT_EQ(view_.screen.statusText, "TUV Port Closed");
    EXPECT_EQ(view_.screen.logText, "");
    EXPECT_EQ(view_.writes, writes);
    EXPECT_TRUE(tones_.tones.empty());
}

TEST_F(MonitorTest, MarkComPortOpenLeavesTheStateAsItWas) {
    start();
    monitor_->MarkComPortOpen();
    EXPECT_EQ(ComPortState, kComPortClosed);
    // So the button still does what it says: the next press opens the port.
    monitor_->OnOpenCloseCom();
    EXPECT_EQ(ports_.calls.back().op, "open");
    monitor_->MarkComPortOpen();
    EXPECT_EQ(ComPortState, kComPortOpen);
}

TEST_F(MonitorTest, CloseMonitorClosesThePortButKeepsTheState) {
    start();
    monitor_->OnOpenCloseCom();
    ports_.calls.clear();
    monitor_->CloseMonitor();
    EXPECT_EQ(ports_.calls, (std::vector<RecordingPorts::Call>{{"close", 0, 0, 0}}));
    EXPECT_EQ(ComPortState, kComPortOpen);
    EXPECT_EQ(view_.screen.statusText, "COM Port Closed");
    EXPECT_EQ(view_.screen.logText.rfind("I> COM Port Closed\r\n", 0), 0u);
    EXPECT_EQ(view_.endResults, std::vector<int>{1});
    EXPECT_TRUE(monitor_->ended());
}

// ---- menu ----

TEST_F(MonitorTest, TestCommunicationComplainsOnlyWhileClosed) {
    start();
    monitor_->OnTestCommunication();
    EXPECT_EQ(monitor_->fields().logText, "E> COM Port NOT Open\r\n");
    monitor_->OnOpenCloseCom();
    const std::string before = monitor_->fields().logText;
    monitor_->OnTestCommunication();
    EXPECT_EQ(monitor_->fields().logText, before);
}

TEST_F(MonitorTest, MenuEntriesShowTheirWindows) {
    start();
    monitor_->ShowProtocolWindow();
    monitor_->ShowStartTexts();
    monitor_->ShowSoftwareUpdate();
    monitor_->ShowKernelApi();
    monitor_->ShowEepromTools();
    const std::vector<MenuWindow> expected = {MenuWindow::Protocol, MenuWindow::StartTexts,
                                              MenuWindow::SoftwareUpdate, MenuWindow::KernelApi,
                                              MenuWindow::EepromTools};
    EXPECT_EQ(windows_.shown, expected);
}

TEST_F(MonitorTest, ShowReadMeStartsTheViewerWithTheFile) {
    start();
    monitor_->ShowReadMe();
    ASSERT_EQ(starter_.started.size(), 1u);
    EXPECT_EQ(starter_.started[0].first, "xdg-open");
    EXPECT_EQ(starter_.started[0].second, std::vector<std::string>{StartDirectory + "ReadMe.txt"});
    EXPECT_EQ(monitor_->fields().logText, "");

    EXPECT_TRUE(view_.shownTexts.empty());
}

// The desktop's viewer, then the user's editor in a terminal, then the monitor's own window.
TEST_F(MonitorTest, ShowReadMeFallsBackUntilSomethingShowsIt) {
    start();
    const std::string file = StartDirectory + "ReadMe.txt";
    const char* visual = std::getenv("VISUAL");
    const char* editor = std::getenv("EDITOR");
    const std::string keptVisual = visual ? visual : "", keptEditor = editor ? editor : "";
    const struct {
        const char* name;
        const char* visual;
        const char* editor;
        std::vector<std::string> missing;
        bool readMe;
        std::vector<std::pair<std::string, std::vector<std::string>>> started;
        bool shownByTheMonitor;
        std::string log;
    } cases[] = {
        {"editor in a terminal", "", "vi -R", {"xdg-open"}, true,
         {{"xdg-open", {file}}, {"x-terminal-emulator", {"-e", "vi", "-R", file}}}, false, ""},
        {"VISUAL before EDITOR", "nano", "vi", {"xdg-open"}, true,
         {{"xdg-open", {file}}, {"x-terminal-emulator", {"-e", "nano", file}}}, false, ""},
        {"own window", "", "vi", {"xdg-open", "x-terminal-emulator"}, true,
         {{"xdg-open", {file}}, {"x-terminal-emulator", {"-e", "vi", file}}}, true,
         " > ReadMe.txt shown by the monitor; could not start xdg-open, x-terminal-emulator -e vi\r\n"},
        {"no editor", "", "", {"xdg-open"}, true, {{"xdg-open", {file}}}, true,
         " > ReadMe.txt shown by the monitor; could not start xdg-open\r\n"},
        {"nothing", "", "", {"xdg-open"}, false, {{"xdg-open", {file}}}, false,
         " > Tried xdg-open and the monitor's own viewer: " + file +
             ": No such file or directory\r\nE> Can\xB4t find notepad.exe\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ::setenv("VISUAL", c.visual, 1);
        ::setenv("EDITOR", c.editor, 1);
        std::filesystem::remove(file);
        if (c.readMe) test::WriteText(file, "Norvix PC Monitor\r\n");
        starter_.started.clear();
        starter_.missing = c.missing;
        view_.shownTexts.clear();
        const std::string before = monitor_->fields().logText;
        monitor_->ShowReadMe();
        EXPECT_EQ(starter_.started, c.started);
        if (c.shownByTheMonitor) {
            ASSERT_EQ(view_.shownTexts.size(), 1u);
            EXPECT_EQ(view_.shownTexts[0].first, "ReadMe.txt");
            EXPECT_EQ(view_.shownTexts[0].second, "Norvix PC Monitor\r\n");
        } else {
            EXPECT_TRUE(view_.shownTexts.empty());
        }
        EXPECT_EQ(monitor_->fields().logText, c.log + before);
    }
    ::setenv("VISUAL", keptVisual.c_str(), 1);
    ::setenv("EDITOR", keptEditor.c_str(), 1);
    if (!visual) ::unsetenv("VISUAL");
    if (!editor) ::unsetenv("EDITOR");
}

}  // namespace
}  // namespace nvx::test
