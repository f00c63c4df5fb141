#pragma once
// Process-wide values of the application shell that every window reads, and the main window's
// services (monitor log, COM port) that the other windows call.

#include <cstdint>
#include <string>

namespace nvx {

// Settings from the command line switches.
extern int32_t ShowHexConversion;
extern int32_t ReportHeaderDetails;
extern int32_t OfferHexFiles;
extern int32_t EepromWriteEnabled;
extern int32_t StepWait;  // timer ticks
extern int32_t SwitchComPort;
extern std::string PresetProgramFile;
extern std::string DeviceStem;
extern std::string StartDirectory;  // ends with "/"

constexpr int32_t kDefaultStepWait = 200;

// "Back up EEPROM first" and "Check versions before and after" of the Programming Tool, kept in
// monitor.ini.
extern int32_t BackupEepromFirst;
extern int32_t CheckVersionsAround;

// Owned by the main window.
extern int32_t ComPortNumber;
extern int32_t ComPortState;
extern int32_t AutoStartState;

enum ComPortStateValue : int32_t { kComPortClosed = 0, kComPortOpen = 1 };
enum AutoStartValue : int32_t {
    kAutoStartOff = 0,
    kAutoStartRequested = 1,
    kAutoStartShown = 2,
    kAutoStartRunning = 3,
    kAutoStartFinished = 4,
};

// Puts every value above back to its start value (process start; tests).
void ResetShellSettings();

// What the main window offers the other windows. The monitor program's main window implements it;
// the CLI implements it on the console; tests record.
class MonitorShell {
public:
    virtual ~MonitorShell() = default;
    // message is ISO 8859-1; "E> ", "I> " or " > " by convention.
    virtual void AppendMonitorLog(std::string message) = 0;
    virtual bool IsComPortOpen() = 0;
    virtual bool OpenComPort() = 0;
    virtual void CloseComPort() = 0;
    virtual void MarkComPortOpen() = 0;
    // Keeps the settings of monitor.ini; only the monitor program has the file.
    virtual void SaveSettings() {}
    // A procedure has the port (it closes and reopens it, the device may sit in its bootloader):
    // nothing else may open, close or renumber it, or send to the device, until it lets go.
    virtual void ClaimComPort(bool claimed) { (void)claimed; }
};

}  // namespace nvx
