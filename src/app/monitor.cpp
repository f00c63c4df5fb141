#include "app/monitor.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "comm/api_request.h"
#include "platform/atomic_file.h"

namespace nvx {

namespace {

// Falling pair for an error, rising pair for an information.
constexpr uint32_t kToneHighHz = 1000;
constexpr uint32_t kToneLowHz = 700;
constexpr uint32_t kToneFirstMs = 120;
constexpr uint32_t kToneSecondMs = 80;

// $VISUAL, else $EDITOR, split at blanks ("vi -R"); empty when neither names a program.
std::vector<std::string> EditorCommand() {
    const char* value = std::getenv("VISUAL");
    if (!value || !*value) value = std::getenv("EDITOR");
    std::vector<std::string> words;
    std::istringstream in(value ? value : "");
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

}  // namespace

std::string MonitorEventLine(int code) {
    switch (code) {
    case kEventPortOpened: return "I> COM Port Opened";
    case kEventPortClosed: return "I> COM Port Closed";
    case kEventPortNotOpen: return "E> COM Port NOT Open";
    case kEventNoTextViewer: return "E> Can\xB4t find notepad.exe";
    default: return "";
    }
}

Monitor::Monitor(TimerService& timers, ChannelPorts& ports, ToneSink& tones,
                 DetachedStarter& starter, MonitorView& view, MonitorWindows& windows)
    : timers_(timers), ports_(ports), tones_(tones), starter_(starter), view_(view),
      windows_(windows) {}

Monitor::~Monitor() {
    if (timer1_) timers_.stop(timer1_);
    StopSettling();
}

void Monitor::OnInitDialog() {
    // The icon is the view's business; it sets it when it builds the window.
    if (CheckSettingsWritable()) ReadSettings();
    timer1_ = timers_.start(kMonitorTimerPeriodMs, [this] { OnTimer1(); });
    if (SwitchComPort != 0) ComPortNumber = SwitchComPort;
    fields_.portNumber = ComPortNumber;
    CloseComPort();
    RefreshControls();
    windows_.CreateSubWindows();
    if (AutoStartState == kAutoStartRequested) {
        OnOpenCloseCom();
        ShowSoftwareUpdate();
        AutoStartState = kAutoStartShown;
    }
}

void Monitor::AppendMonitorLog(std::string message) {
    std::string text = message + "\r\n" + fields_.logText;
    // The oldest text falls off the bottom, even in the middle of a line.
    if (text.size() > kMonitorLogLimit) text.resize(kMonitorLogLimit);
    fields_.logText = std::move(text);
    if (!message.empty() && message[0] == 'E') {
        tones_.play(kToneHighHz, kToneFirstMs);
        tones_.play(kToneLowHz, kToneSecondMs);
    } else if (!message.empty() && message[0] == 'I') {
        tones_.play(kToneLowHz, kToneFirstMs);
        tones_.play(kToneHighHz, kToneSecondMs);
    }
    RefreshControls();
}

bool Monitor::IsComPortOpen() { return ComPortState != kComPortClosed; }

bool Monitor::OpenComPort() {
    if (!ports_.OpenChannelPort(0, ComPortNumber, kMonitorBaudRate)) return false;
    ComPortState = kComPortOpen;
    fields_.statusText = "TUV Port Open";
    ShowPortControls();
    RefreshControls();
    return true;
}

void Monitor::CloseComPort() {
    // A close waiting for owed replies would otherwise close the line under its new owner.
    if (pendingRelease_ == PortRelease::Close) {
        StopSettling();
        pendingRelease_ = PortRelease::None;
    }
    ports_.CloseChannelPort(0);
    ComPortState = kComPortClosed;
    fields_.statusText = "TUV Port Closed";
    ShowPortControls();
    RefreshControls();
}

void Monitor::ShowPortControls() {
    // Other windows close and reopen the port too (the update procedure frees it for the
    // programmer); the button and the status line must never disagree.
    const bool open = ComPortState != kComPortClosed;
    view_.setPortFieldEnabled(!open && !portClaimed_);
    view_.setOpenButtonText(open ? kCloseComText : kOpenComText);
    view_.setOpenButtonEnabled(!portClaimed_);
    view_.setTestCommunicationEnabled(open && !portClaimed_);
}

void Monitor::ClaimComPort(bool claimed) {
    if (claimed == portClaimed_) return;
    portClaimed_ = claimed;
    ShowPortControls();
    windows_.AllowDeviceActions(!claimed);
}

void Monitor::MarkComPortOpen() {
    // Deliberately empty: an Open state stays Open and a Closed one Closed, so the button's
    // label always matches the port.
}

void Monitor::ReportMonitorEvent(int code) { AppendMonitorLog(MonitorEventLine(code)); }

void Monitor::OnPortNumberChanged() {
    // The procedure works on the port it was given; the field shows that one until it ends.
    if (portClaimed_) {
        fields_.portNumber = ComPortNumber;
        RefreshControls();
        return;
    }
    if (!view_.readControls(fields_)) {
        MessageBox().show(kPortNotANumber, kMonitorWindowTitle, MessageIcon::Exclamation);
    }
    if (fields_.portNumber >= kComPortFirst && fields_.portNumber <= kComPortLast) {
        if (fields_.portNumber != ComPortNumber) {
            ComPortNumber = fields_.portNumber;
            WriteSettings();
        }
    } else {
        fields_.portNumber = ComPortNumber;
        view_.sayPortRange(kPortRangeText);
    }
    RefreshControls();
}

void Monitor::OnOpenCloseCom() {
    if (portClaimed_) return;
    if (ComPortState == kComPortClosed) {
        if (!OpenComPort()) return;  // the serial port has shown its own message
        ReportMonitorEvent(kEventPortOpened);
    } else {
        ReleaseComPortWhenSettled(PortRelease::Close);
    }
}

void Monitor::CloseMonitor() { Quit(Ending::CloseMonitor); }

void Monitor::Dismiss() { Quit(Ending::Dismiss); }

void Monitor::Quit(Ending ending) {
    if (ended_ || quitting_ || pendingRelease_ == PortRelease::Quit) return;
    if (windows_.DeviceWorkRunning()) {
        if (!view_.askYesDefaultNo(kQuitDuringDeviceWork)) return;
        // The work may have ended while the question was open.
        if (windows_.DeviceWorkRunning()) {
            quitting_ = true;
            pendingEnding_ = ending;
            AppendMonitorLog(kQuitAfterDeviceWorkLine);
            windows_.StopDeviceWork();
            return;
        }
    }
    EndNow(ending);
}

void Monitor::EndNow(Ending ending) {
    quitting_ = false;
    if (ending == Ending::Dismiss) {
        EndDialog(0);
        return;
    }
    ReleaseComPortWhenSettled(PortRelease::Quit);
}

// A reply still owed to a request of this program would reach whoever opens the port next (another
// program, or this one after a reopen) as the answer to their own request. The request engine
// takes owed replies off the line on its ticks and gives up on each after its bound, so the wait
// ends within seconds; it runs on a timer, the window goes on meanwhile with the port shown open.
// Nothing owed: at once, as always.
void Monitor::ReleaseComPortWhenSettled(PortRelease release) {
    pendingRelease_ = std::max(pendingRelease_, release);  // a quit also closes
    if (settleTimer_ != 0) return;
    if (!ApiRequest::RepliesOwed()) {
        FinishPortRelease();
        return;
    }
    settleTimer_ = timers_.start(kOwedRepliesCheckMs, [this] {
        if (!ApiRequest::RepliesOwed()) FinishPortRelease();
    });
}

void Monitor::FinishPortRelease() {
    StopSettling();
    switch (std::exchange(pendingRelease_, PortRelease::None)) {
    case PortRelease::Close:
        CloseComPort();
        ReportMonitorEvent(kEventPortClosed);
        break;
    case PortRelease::Quit:
        CloseAndEnd();
        break;
    case PortRelease::None:
        break;
    }
}

void Monitor::StopSettling() {
    if (settleTimer_) timers_.stop(settleTimer_);
    settleTimer_ = 0;
}

void Monitor::CloseAndEnd() {
    ports_.CloseChannelPort(0);
    fields_.statusText = "COM Port Closed";
    ReportMonitorEvent(kEventPortClosed);
    RefreshControls();
    EndDialog(1);
}

void Monitor::EndDialog(int result) {
    // A window that has ended gets no more timer ticks.
    if (timer1_) timers_.stop(timer1_);
    timer1_ = 0;
    ended_ = true;
    view_.endDialog(result);
}

void Monitor::OnTestCommunication() {
    if (ComPortState == kComPortClosed) {
        ReportMonitorEvent(kEventPortNotOpen);
        return;
    }
    windows_.TestCommunication();
}

void Monitor::ShowProtocolWindow() { windows_.ShowWindow(MenuWindow::Protocol); }
void Monitor::ShowStartTexts() { windows_.ShowWindow(MenuWindow::StartTexts); }
void Monitor::ShowKernelApi() { windows_.ShowWindow(MenuWindow::KernelApi); }
void Monitor::ShowSoftwareUpdate() { windows_.ShowWindow(MenuWindow::SoftwareUpdate); }
void Monitor::ShowEepromTools() { windows_.ShowWindow(MenuWindow::EepromTools); }

void Monitor::ShowReadMe() {
    const std::string file = StartDirectory + kReadMeFileName;
    if (starter_.StartDetached(kTextViewerProgram, {file})) return;
    std::string tried = kTextViewerProgram;
    if (const std::vector<std::string> editor = EditorCommand(); !editor.empty()) {
        std::vector<std::string> args = {"-e"};
        args.insert(args.end(), editor.begin(), editor.end());
        args.push_back(file);
        if (starter_.StartDetached(kTerminalProgram, args)) return;
        tried += std::string(", ") + kTerminalProgram + " -e";
        for (const std::string& word : editor) tried += " " + word;
    }
    std::string text, error;
    if (ReadWholeFile(file, text, &error, kReadMeMaxBytes)) {
        view_.showText(kReadMeFileName, text);
        AppendMonitorLog(" > " + std::string(kReadMeFileName) + " shown by the monitor; could not start " +
                         tried);
        return;
    }
    ReportMonitorEvent(kEventNoTextViewer);
    AppendMonitorLog(" > Tried " + tried + " and the monitor's own viewer: " + error);
}

void Monitor::OnTimer1() {
    if (quitting_ && !windows_.DeviceWorkRunning()) {
        EndNow(pendingEnding_);
        return;
    }
    if (AutoStartState == kAutoStartFinished) CloseMonitor();
}

}  // namespace nvx
