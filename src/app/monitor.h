#pragma once
// The main window's logic: the monitor log with its tones, the monitor's COM port, the settings
// file "monitor.ini", the menu's commands and the end of an automatic update. The Qt window
// (CMonitorDlg) and the tests drive it through the interfaces below.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/program_files.h"
#include "platform/timer_service.h"
#include "platform/user_dialogs.h"
#include "shell/shell.h"

namespace nvx {

constexpr std::size_t kMonitorLogLimit = 1024;  // characters kept in the log box
constexpr uint32_t kMonitorTimerPeriodMs = 100;  // timer 1
// How often a close waiting for owed replies looks again (the request engine's tick).
constexpr uint32_t kOwedRepliesCheckMs = 10;
constexpr uint32_t kMonitorBaudRate = 19200;
constexpr int32_t kComPortFirst = 1;
constexpr int32_t kComPortLast = 256;

inline constexpr const char* kMonitorWindowTitle = "Norvix Monitor";
inline constexpr const char* kMonitorVersionLine = "Norvix PC Monitor V 1.7.2 (Build 2015-01-28)";
// The maker's notice of the About box and the settings file.
inline constexpr const char* kMakerNotice = "Service tool for the Norvix controller family. (C) Norvix";
inline constexpr const char* kSettingsFileName = kSettingsName;
inline constexpr const char* kReadMeFileName = "ReadMe.txt";
// The desktop's viewer for "ReadMe.txt"; the log line still names the original viewer.
inline constexpr const char* kTextViewerProgram = "xdg-open";
// Where $VISUAL or $EDITOR runs when the desktop has no viewer.
inline constexpr const char* kTerminalProgram = "x-terminal-emulator";
// The most of "ReadMe.txt" the monitor's own viewer takes.
constexpr std::size_t kReadMeMaxBytes = 1 << 20;
inline constexpr const char* kOpenComText = "Open COM";
inline constexpr const char* kCloseComText = "Close COM";
// Asked before the window closes while a device update or EEPROM transfer runs (No is the default).
inline constexpr const char* kQuitDuringDeviceWork = "A device update is running. Quit anyway?";
// After a Yes: the work is stopped the way that leaves the device out of its bootloader first.
inline constexpr const char* kQuitAfterDeviceWorkLine =
    " > Stopping the device work; the monitor ends after it";

// Codes of ReportMonitorEvent.
enum MonitorEvent : int {
    kEventPortOpened = 1,
    kEventPortClosed = 3,
    kEventPortNotOpen = 4,
    kEventNoTextViewer = 9,
};

// The line ReportMonitorEvent writes for a code (empty for an unknown code).
std::string MonitorEventLine(int code);

// What the window shows, exchanged with its controls in one step each way.
struct MonitorFields {
    std::string logText;  // newest line first, lines ended by CR LF
    int32_t portNumber = 0;
    std::string statusText;
};

class MonitorView {
public:
    virtual ~MonitorView() = default;
    // Log box, port number field and status line.
    virtual void writeControls(const MonitorFields& fields) = 0;
    // Reads the port number field back; false when it holds no number (fields keep their values).
    virtual bool readControls(MonitorFields& fields) = 0;
    virtual void setPortFieldEnabled(bool enabled) = 0;
    virtual void setOpenButtonText(const std::string& text) = 0;
    virtual void setOpenButtonEnabled(bool enabled) = 0;
    // Ends the run of the main window with this result.
    virtual void endDialog(int result) = 0;
    // A Yes/No question whose default answer is No; true for Yes.
    virtual bool askYesDefaultNo(const std::string& question) = 0;
    // A read-only window of the monitor's own showing `text` (ISO 8859-1) under `title`.
    virtual void showText(const std::string& title, const std::string& text) = 0;
};

// The windows the menu shows. The program's composition decides which exist; an entry without a
// window does nothing.
enum class MenuWindow { Protocol, StartTexts, KernelApi, SoftwareUpdate, EepromTools };

class MonitorWindows {
public:
    virtual ~MonitorWindows() = default;
    // The starting-texts, kernel API and Programming Tool windows, hidden, in this order.
    virtual void CreateSubWindows() = 0;
    // Shows the entry's window without activating it (after switching the Programming Tool to
    // the entry's layout).
    virtual void ShowWindow(MenuWindow entry) = 0;
    virtual bool HasWindow(MenuWindow entry) const = 0;
    // True while a window's device work runs (a firmware update, an EEPROM transfer): the
    // device would be left in its bootloader and the work files behind.
    virtual bool DeviceWorkRunning() const = 0;
    // Ends the device work early, by the way out that leaves the device as it was found.
    virtual void StopDeviceWork() = 0;
    // The windows' own device actions (requests, transfers) are offered only while allowed.
    virtual void AllowDeviceActions(bool allowed) = 0;
};

// Opening and closing the one serial port per channel: the byte pump of the TUV Communication
// window.
class ChannelPorts {
public:
    virtual ~ChannelPorts() = default;
    virtual bool OpenChannelPort(int channel, int32_t portNumber, uint32_t baudRate) = 0;
    virtual void CloseChannelPort(int channel) = 0;
};

// Starts a program found through the search path without waiting for it.
class DetachedStarter {
public:
    virtual ~DetachedStarter() = default;
    // False when the program could not be started.
    virtual bool StartDetached(const std::string& program, const std::vector<std::string>& args) = 0;
};

class Monitor : public MonitorShell {
public:
    Monitor(TimerService& timers, ChannelPorts& ports, ToneSink& tones, DetachedStarter& starter,
            MonitorView& view, MonitorWindows& windows);
    ~Monitor() override;
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // The window's start: settings, timer 1, the command-line port, port closed, sub-windows,
    // automatic update.
    void OnInitDialog();

    // MonitorShell
    void AppendMonitorLog(std::string message) override;
    bool IsComPortOpen() override;
    bool OpenComPort() override;
    // Closes the port now: for a window that takes the line over (the update procedure frees it
    // for the bootloader, which discards what it finds there first).
    void CloseComPort() override;
    // Leaves ComPortState as it is: closing a sub-window must not make the Open COM button lie
    // about the port.
    void MarkComPortOpen() override;
    void SaveSettings() override { WriteSettings(); }
    void ClaimComPort(bool claimed) override;
    bool comPortClaimed() const { return portClaimed_; }

    void ReportMonitorEvent(int code);

    // Commands of the controls and the menu.
    void OnPortNumberChanged();
    void OnOpenCloseCom();
    // Every way out: Close Monitor and Exit end through CloseMonitor; Escape, the close box and
    // the window manager's close dismiss the window (no log line, the port left to the pump).
    // While device work runs both ask first (No is the default); a Yes stops the work and the
    // window ends once the device has been let go.
    void CloseMonitor();
    void Dismiss();
    void OnTestCommunication();
    void ShowProtocolWindow();
    void ShowStartTexts();
    void ShowKernelApi();
    void ShowSoftwareUpdate();
    void ShowEepromTools();
    // "ReadMe.txt" in the desktop's viewer, else in $VISUAL or $EDITOR in a terminal, else in a
    // window of the monitor's own; the log says what was tried when the desktop's did not start.
    void ShowReadMe();
    void OnTimer1();

    // The settings file.
    bool CheckSettingsWritable();
    void ReadSettings();
    void WriteSettings();

    const MonitorFields& fields() const { return fields_; }
    TimerService& timers() { return timers_; }
    bool ended() const { return ended_; }
    // Where "monitor.ini" is: the start directory.
    static std::string SettingsPath();

private:
    enum class Ending { CloseMonitor, Dismiss };
    void Quit(Ending ending);
    void EndNow(Ending ending);
    void RefreshControls() { view_.writeControls(fields_); }
    // The port number field and the Open COM / Close COM button follow ComPortState.
    void ShowPortControls();
    void EndDialog(int result);
    // What the window does once no reply is owed to its requests any more.
    enum class PortRelease { None, Close, Quit };
    void ReleaseComPortWhenSettled(PortRelease release);
    void FinishPortRelease();
    void StopSettling();
    void CloseAndEnd();

    TimerService& timers_;
    ChannelPorts& ports_;
    ToneSink& tones_;
    DetachedStarter& starter_;
    MonitorView& view_;
    MonitorWindows& windows_;
    MonitorFields fields_;
    int timer1_ = 0;
    bool ended_ = false;
    bool portClaimed_ = false;
    bool quitting_ = false;
    Ending pendingEnding_ = Ending::CloseMonitor;
    int settleTimer_ = 0;
    PortRelease pendingRelease_ = PortRelease::None;
};

// Settings messages (ISO 8859-1) and the caption of their boxes.
inline constexpr const char* kSettingsCaption = "Norvix Monitor";
inline constexpr const char* kSettingsNotWritable =
    "Could not write to file system!\nPlease check write protection.\nDo not run program from CD-drive!";
inline constexpr const char* kSettingsNotReadable = "Could not open INI File!\nNew INI file will be created!";
inline constexpr const char* kSettingsWriteFailed = "Could not write INI File!";
inline constexpr const char* kPortNotANumber = "Please enter an integer.";

}  // namespace nvx
