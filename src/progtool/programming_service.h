#pragma once
// The Programming Tool's procedures as a service: the device accepted for them, the checks a
// command makes before it touches the device, timer 4 stepping the procedure, an abort, and how
// the latest one ended. The window logic and nvx both run their procedures through it; what it
// has to say goes to the shell's log, its progress to an observer.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/timer_service.h"
#include "platform/user_dialogs.h"
#include "progtool/procedure_outcome.h"
#include "progtool/program_file.h"
#include "progtool/service_run.h"
#include "progtool/update_procedure.h"
#include "shell/shell.h"

namespace nvx {

inline constexpr const char* kProgToolTitle = "Programming Tool";
inline constexpr const char* kNoProgrammerText = "No Programmer found (NorvixOSP.exe)";
inline constexpr const char* kNoDescriptionText = "No Device description found";
inline constexpr const char* kNameMismatchText = "Filename does not match device typ!";
// The second line: what the name was measured against (the device key).
inline constexpr const char* kNameExpectedText = "The file name must begin with %s.";
inline constexpr const char* kEepromWriteQuestion =
    "Writing data to EEPROM may cause unproper system behaviour.\r\n\r\n"
    "        ***** YOU PROCEED ON YOUR OWN RISK!!! *****";

// The commands only ask whether a file can be opened for reading; a directory cannot. The open
// never waits (a FIFO without a writer).
bool Readable(const std::string& path);
// A box of the Programming Tool with an OK button.
void ProgToolBox(const std::string& text, MessageIcon icon);

// What a procedure shows while it runs. Busy spans a procedure and the work around it.
class ProgrammingObserver : public UpdateHost {
public:
    // Names the step the progress belongs to; empty when no procedure runs.
    virtual void ShowProgrammerStep(const std::string& step) { (void)step; }
};

// A command's plain options; the device is the accepted one.
struct ProgrammingOptions {
    // Program: the firmware; EEPROM read: the image to make; EEPROM write: the image to write.
    std::string file;
    bool manualStart = false;
    // Program only: the EEPROM read into a backup first; the version read before and after.
    bool backupFirst = false;
    bool checkVersions = false;
    // The programmer's working directory (empty: the start directory).
    std::string workDirectory;
    // EEPROM read: the firmware files in sight, which an image never replaces.
    std::vector<std::string> programFiles;
};

class ProgrammingService : private UpdateHost {
public:
    ProgrammingService(TimerService& timers, MonitorShell& shell, ProgrammingObserver& observer);
    ~ProgrammingService() override;
    ProgrammingService(const ProgrammingService&) = delete;
    ProgrammingService& operator=(const ProgrammingService&) = delete;

    // Timer 4 running, the procedure at rest, no device accepted; a missing programmer is said
    // in a box.
    void Open();

    // Accepts the list's row for the commands: false, with the selection cleared, for a row
    // that is no device; false, with the earlier device kept, when its description is missing.
    bool SelectDevice(int32_t row);
    // The row whose selection is in force (0 when none).
    int32_t acceptedRow() const { return acceptedRow_; }

    // Nothing may start while something runs: says so in the log and returns true then.
    bool CommandInProgress();
    // What every command asks first: nothing under way and a device accepted; the outcome of an
    // earlier run is forgotten. False, its line logged, otherwise.
    bool MayStartCommand();

    // Each starts its procedure on the accepted device, or refuses with its line in the log or a
    // box, the device untouched (false).
    bool Program(const ProgrammingOptions& options);
    bool ReadEeprom(const ProgrammingOptions& options);
    bool WriteEeprom(const ProgrammingOptions& options);

    // Ctrl-C and the like: the procedure, or what runs around it, ends with its abort line.
    void RequestAbort() { service_.RequestAbort(); }
    // No procedure, version check or backup under way.
    bool IsIdle() const { return procedure_.IsIdle() && service_.IsIdle(); }
    // Once idle, how the latest command ended (None: refused before anything ran).
    const ProcedureOutcome& outcome() const { return service_.outcome(); }

    // The monitor's port is the procedure's from its start to its end, whatever runs around it;
    // busy holds it also for work of the window's own (a conversion).
    void KeepPortClaim(bool busy);
    // Timer 4: at most one step of the procedure and what runs around it.
    void OnTimer();
    // Runs after each step of timer 4, inside its guard (the window's automatic start).
    void SetAfterTick(std::function<void()> afterTick) { afterTick_ = std::move(afterTick); }

    UpdateProcedure& procedure() { return procedure_; }
    const ServiceRun& serviceRun() const { return service_; }
    int timerId() const { return timerId_; }

private:
    // UpdateHost: what the procedure shows, passed on.
    void SetBusy(bool busy) override;
    void ShowProgrammerProgress(int percent) override;

    bool CheckDescriptionFile(const char* chip);
    // The firmware (read as plain Intel HEX) holds only records a programmer knows, holds data,
    // ends with its end-of-file record and fits the accepted row's part; otherwise says why in
    // the log. A part whose sizes cannot be read is not measured, with a note.
    bool FirmwareFitsDevice(const ConversionResult& read, const std::string& plainHex);
    // The accepted row's EEPROM size, for the programmer's time limit.
    uint32_t EepromBytes() const;
    // The EEPROM image (Intel HEX) is sound, complete, holds data and fits the accepted row's
    // EEPROM; otherwise says why in the log. The programmer would refuse it only once the device
    // waits in its bootloader.
    bool EepromImageFitsDevice(const std::string& image);
    // An image read may go to path: it is none of the program's files nor one of programFiles
    // (said in the log otherwise), and an existing file is replaced only after a Yes.
    bool MayReplaceWithImage(const std::string& path,
                             const std::vector<std::string>& programFiles);
    // Claims the work files and converts the program file into the flash image for the programmer.
    bool PrepareFlashImage();
    void StartServiceRun(const ProgrammingOptions& options, const std::string& file);

    TimerService& timers_;
    MonitorShell& shell_;
    ProgrammingObserver& observer_;
    UpdateProcedure procedure_;
    ServiceRun service_;
    std::function<void()> afterTick_;
    int32_t acceptedRow_ = 0;
    // The firmware of the Program command under way, made again after its backup.
    std::string programFile_;
    int timerId_ = 0;
    bool timerGuard_ = false;
    std::string step_;
    bool portClaimed_ = false;
};

}  // namespace nvx
