#pragma once
// The "Programming Tool" window's logic: the device list, the program and EEPROM file commands,
// the two layouts and the enable rule, and timer 4, which drives the update procedure and the
// automatic update of the /A switch.

#include <array>
#include <cstdint>
#include <string>

#include "platform/timer_service.h"
#include "progtool/programming_service.h"
#include "shell/shell.h"

namespace nvx {

inline constexpr const char* kProgramFileTitle = "Select Program File";
inline constexpr const char* kEepromFileTitle = "Select EEPROM File";
inline constexpr const char* kProgramFilterWithHex =
    "All Program Files (*.npf; *.hex)|*.npf; *.hex|Norvix Program Files (*.npf)|*.npf|"
    "Intel Program Files (*.hex)|*.hex|All Files (*.*)|*.*||";
inline constexpr const char* kProgramFilter =
    "Norvix Program Files (*.npf)|*.npf|Intel Program Files (*.hex)|*.hex|All Files (*.*)|*.*||";
inline constexpr const char* kEepromFilter = "Intel Hex Files (*.hex)|*.hex|All Files (*.*)|*.*||";
inline constexpr const char* kBackupFirstText = "Back up EEPROM first";
inline constexpr const char* kCheckVersionsText = "Check versions before and after";
inline constexpr const char* kExtensionText = "File extension not ok!";

// The window's members, exchanged with its controls in one step each way. ISO 8859-1.
struct ProgToolFields {
    int32_t manualStart = 0;  // "Manual Update Start Mode"
    std::string programFilePath;
    int32_t deviceRow = 0;  // 0 to 34
    std::string eepromFilePath;
    int32_t backupFirst = 0;  // "Back up EEPROM first"
    int32_t checkVersions = 0;  // "Check versions before and after"
};

enum class ProgToolControl {
    DeviceSettingsGroup,
    DeviceList,
    ManualStart,
    BackupFirst,
    CheckVersions,
    ProgramGroup,
    ProgramFileButton,
    ProgramPathField,
    ConvertButton,
    ProgramButton,
    EepromGroup,
    EepromFileButton,
    EepromPathField,
    ReadEepromButton,
    WriteEepromButton,
    AnalyseButton,
    CloseButton,
};
constexpr int kProgToolControlCount = static_cast<int>(ProgToolControl::CloseButton) + 1;

enum class ProgToolLayout { None, SoftwareUpdate, EepromTools };

// What a file dialog may answer: a file that is there, or also the name of one still to be made
// (the file an EEPROM read creates).
enum class FileChoice { Existing, ExistingOrNew };

class ProgToolView {
public:
    virtual ~ProgToolView() = default;
    virtual void readControls(ProgToolFields& fields) = 0;
    virtual void writeControls(const ProgToolFields& fields) = 0;
    virtual void setControlVisible(ProgToolControl control, bool visible) = 0;
    virtual void setControlEnabled(ProgToolControl control, bool enabled) = 0;
    virtual void showWithoutActivating() = 0;
    virtual void hideWindow() = 0;
    // A file-open dialog. filter is a list of description|pattern pairs ending in "||" (patterns
    // separated by "; "). Returns false when the user cancels.
    virtual bool askOpenFileName(const std::string& title, const std::string& initialPath,
                                 const std::string& filter, FileChoice choice,
                                 std::string& chosen) = 0;
    // The Error Memory window on an EEPROM image file, run modally.
    virtual void runErrorMemory(const std::string& path, int32_t deviceRow) = 0;
    virtual void setProgrammerProgress(int percent) = 0;
    // Names the step the progress belongs to; empty when no procedure runs. A view without a
    // progress bar has nothing to name.
    virtual void setProgrammerStep(const std::string& step) { (void)step; }
};

// The window's commands run their procedures through the programming service; the window shows
// what it reports.
class ProgTool : public ProgrammingObserver {
public:
    ProgTool(TimerService& timers, MonitorShell& shell, ProgToolView& view);
    ~ProgTool() override;
    ProgTool(const ProgTool&) = delete;
    ProgTool& operator=(const ProgTool&) = delete;

    // Window creation: timer 4, procedure state, the programmer check, the /P and /D presets.
    void OnInitDialog();

    // The layouts the main window's Tools menu asks for; each ends by showing the window.
    void ShowSoftwareUpdate();
    void ShowEepromTools();
    // ProgrammingObserver
    void SetBusy(bool busy) override;
    void ShowProgrammerProgress(int percent) override;
    void ShowProgrammerStep(const std::string& step) override;

    // Takes the device list's row (also run by the /D preset and the autostart).
    void SelectDeviceRow();
    // The device list closed its drop-down: the row is taken and kept for the next start.
    void OnDeviceChosen();

    void OnProgramFile();
    void OnConvertHexToNpf();
    void OnProgram();
    // "Back up EEPROM first" or "Check versions before and after" ticked or cleared: kept for the
    // next start.
    void OnBackupFirst();
    void OnCheckVersions();
    void OnEepromFile();
    void OnReadEeprom();
    void OnWriteEeprom();
    void OnAnalyseErrorMemory();
    // "Close", Escape and the close box: hide only; everything goes on.
    void OnClose();

    // Timer 4.
    void OnTimer() { service_.OnTimer(); }

    UpdateProcedure& procedure() { return service_.procedure(); }
    const ServiceRun& serviceRun() const { return service_.serviceRun(); }
    // Ctrl-C and the like: the procedure, or what runs around it, ends with its abort line.
    void RequestAbort() { service_.RequestAbort(); }
    // No procedure, version check or backup under way.
    bool IsIdle() const { return service_.IsIdle(); }
    // Once idle, how the latest command ended (None: refused before anything ran).
    const ProcedureOutcome& outcome() const { return service_.outcome(); }
    const ProgToolFields& fields() const { return fields_; }
    ProgToolLayout layout() const { return layout_; }
    bool controlVisible(ProgToolControl c) const { return visible_[static_cast<int>(c)]; }
    bool controlEnabled(ProgToolControl c) const { return enabled_[static_cast<int>(c)]; }
    int timerId() const { return service_.timerId(); }
    // The row whose selection is in force (0 when none).
    int32_t acceptedRow() const { return service_.acceptedRow(); }
    // The program file the latest Program command used (the program-wide copy).
    const std::string& programPath() const { return programPath_; }
    int programmerProgress() const { return progress_; }

private:
    void SetVisible(ProgToolControl c, bool visible);
    void SetEnabled(ProgToolControl c, bool enabled);
    // After each step of timer 4: the automatic update of the /A switch, once the port is open.
    void AutoStart();
    // The command's options from the window's fields.
    ProgrammingOptions Options(const std::string& file) const;

    MonitorShell& shell_;
    ProgToolView& view_;
    ProgrammingService service_;
    ProgToolFields fields_;
    std::string programPath_;
    ProgToolLayout layout_ = ProgToolLayout::None;
    std::array<bool, kProgToolControlCount> visible_{};
    std::array<bool, kProgToolControlCount> enabled_{};
    int32_t elapsedMs_ = 0;
    int progress_ = 0;
};

}  // namespace nvx
