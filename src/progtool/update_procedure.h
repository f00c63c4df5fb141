#pragma once
// The firmware update procedure: one step machine for programming the flash and for writing and
// reading the EEPROM. It brings the device into its bootloader (kernel API request, tunnel or by
// hand), runs the external programmer as a child process, brings the device back into its
// application and restores the monitor's COM port. The Programming Tool's timer 4 advances it by
// at most one step per tick; it runs the same way without a window (the CLI drives it).
//
// The programmer adapter: StartDirectory + "norvixosp.exe", started with argument 0 "avrosp.exe"
// and the operation's arguments, working directory StartDirectory. Its progress is read from its
// standard output in the line format described in platform/process.h ("PROGRESS <percent>").
// Its outcome counts: a failed start, an exit status other than 0 or (EEPROM read) no complete
// "temp.hex" end the operation with its abort line, after the device has left its bootloader.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm/converter.h"
#include "comm/request_client.h"
#include "platform/process.h"
#include "platform/program_files.h"
#include "platform/work_directory.h"
#include "progtool/device_catalogue.h"
#include "progtool/procedure_outcome.h"
#include "progtool/programmer_run.h"
#include "progtool/update_messages.h"
#include "shell/shell.h"

namespace nvx {

enum UpdateStepValue : uint32_t {
    kStepIdle = 1,
    kStepTunnelOpen = 3,
    kStepTunnelOpenWait = 4,
    kStepBootStart = 5,
    kStepBootStartWait = 6,
    kStepPortMode = 7,
    kStepBootPortOpen = 8,
    kStepBootProbe = 9,
    kStepBootProbeCheck = 10,
    kStepRunProgrammer = 11,
    kStepBootExit = 12,
    kStepPortReopen = 13,
    kStepTunnelClose = 14,
    kStepTunnelCloseWait = 15,
    kStepAbortExit = 16,
    kStepFinish = 17,
};

// What the procedure is doing at a step of an operation, in a technician's words; empty when idle.
const char* UpdateStepName(uint32_t step, uint32_t operation);

// The request client's states.
enum UpdateRequestStateValue : int32_t {
    kUpdateRequestIdle = kClientIdle,
    kUpdateRequestPending = kClientPending,
    kUpdateRequestWaiting = kClientWaiting,
    kUpdateRequestSettling = kClientSettling,
};


// Request words of UpdateCommandRequest: function code in the low byte, argument in the high.
constexpr uint16_t kTunnelOnWord = 0xFFED;
constexpr uint16_t kTunnelOffWord = 0x00ED;
constexpr uint8_t kBootloadStartCode = 0xFD;

// Waits of the step table, in timer ticks.
constexpr uint32_t kRequestReplyTicks = 200;
constexpr uint32_t kTunnelSettleTicks = 300;
constexpr uint32_t kBootProbeTicks = 800;
constexpr uint32_t kManualStartTicks = 100;


inline constexpr const char* kFlashTempFileName = kFlashWorkFileName;
inline constexpr const char* kEepromTempFileName = kEepromWorkFileName;
// Locked while a procedure's work files are in use, in the directory that holds them.
inline constexpr const char* kWorkLockFileName = kWorkLockName;
// What the technician is told after an ending that may leave the device in its bootloader; a
// device there answers no kernel request, only the manual start's probe.
inline constexpr const char* kRecoveryFromBootloaderText =
    " > Device may wait in its bootloader: start again with Manual Update Start Mode";
inline constexpr const char* kRecoveryFromIncompleteFirmwareText =
    " > Firmware may be incomplete: if the device is silent, Program again with Manual Update "
    "Start Mode";
// Numbered from 1, in the start directory.
inline constexpr const char* kRecoveredEepromFormat = "eeprom-recovered-%d.hex";
constexpr int kMaxRecoveredEepromFiles = 99;

// The procedure's process-wide state (the window exists once).
extern uint32_t UpdateStep;
extern uint32_t ProgOperation;
extern uint32_t StepCountdown;
extern bool ReplyFlag;
// The accepted device selection (deviceCode 0: none).
extern DeviceSelection g_deviceSelection;

// What the procedure needs from its window.
class UpdateHost {
public:
    virtual ~UpdateHost() = default;
    // Buttons disabled from the start of a procedure to its end.
    virtual void SetBusy(bool busy) = 0;
    // The programmer's progress, 0 to 100.
    virtual void ShowProgrammerProgress(int percent) = 0;
};

class UpdateProcedure {
public:
    using ReplyProcedure = int32_t (UpdateProcedure::*)(int32_t phase, int32_t value);
    // Sets the bootloader's line settings on COM N before the programmer opens it; false with
    // a reason when it cannot.
    using LineSettings =
        std::function<bool(int32_t portNumber, int32_t baudRate, std::string& error)>;

    UpdateProcedure(MonitorShell& shell, UpdateHost& host);
    ~UpdateProcedure();
    UpdateProcedure(const UpdateProcedure&) = delete;
    UpdateProcedure& operator=(const UpdateProcedure&) = delete;

    // Step Idle, request Idle, no device, no operation (window initialisation).
    void Reset();

    // The start rule, after the command has set ProgOperation. manualStart is the check box as
    // the command read it.
    void StartProcedure(bool manualStart);

    void ReportProgToolMessage(int32_t code);
    void AdvanceStep(int32_t code, uint32_t countdown, uint32_t nextStep);
    void RunUpdateStep();

    int32_t QueueUpdateRequest(ReplyProcedure procedure, uint32_t id);
    int32_t UpdateCommandRequest(int32_t phase, int32_t value);
    void UpdateRequestTick();

    // The timer's countdown: one tick less while it is not 0.
    void CountDown();

    bool IsIdle() const { return UpdateStep == kStepIdle; }
    // The line of the latest message: once Idle again, the last line of the procedure.
    const std::string& lastReportLine() const { return lastReportLine_; }
    // Once Idle again, how the latest procedure ended.
    const ProcedureOutcome& outcome() const { return outcome_; }
    // The latest error line reported (a refused command's reason too).
    const std::string& lastErrorLine() const { return lastErrorLine_; }
    int32_t requestState() const { return requestState_; }
    const BusMessage& requestMessage() const { return message_; }
    bool programmerRunning() const { return programmer_ != nullptr; }
    // Waits at most limitMs for a running programmer to exit (for a caller that keeps time of
    // its own). The step machine takes its outcome on its next tick.
    void WaitForProgrammer(int limitMs) {
        if (programmer_) programmer_->WaitForExit(limitMs);
    }

    // The EEPROM file the running read or write works on (the command's copy of the field).
    std::string eepromFilePath;
    // The error text of the last failure, appended to lines 12 to 14.
    std::string detail;
    // The digest of the image the latest EEPROM read wrote to its file (empty when none was
    // written): what the journal records, without reading the file again (a FIFO cannot be).
    const std::string& readImageSha256() const { return readImageSha256_; }
    // The line of the damaged program file, for message 37.
    uint32_t damagedLine = 0;
    // The bytes the programmer moves (firmware extent or EEPROM size), for its time limit.
    uint32_t transferBytes = 0;

    void SetLineSettings(LineSettings lineSettings) { lineSettings_ = std::move(lineSettings); }

    // The programmer's working directory, which holds the work files (with a trailing '/').
    // StartDirectory until set; an empty directory restores that.
    void SetWorkDirectory(std::string directory) { workDirectory_ = std::move(directory); }
    std::string WorkDirectory() const;
    std::string WorkFilePath(const char* name) const { return WorkDirectory() + name; }

    // Before a command makes its work files: the work directory's lock taken and the user's
    // file checked. False, its line logged and nothing changed, when another procedure holds the
    // lock or userFile names a work file.
    bool ClaimWorkFiles(const std::string& userFile);
    // Work files removed and the lock given back: on every ending, and by a command that stops
    // before the procedure starts.
    void ReleaseWorkFiles();

    // Tells the technician, once per procedure, the state the device may be left in and how to
    // get it going again: after every ending that may leave it in its bootloader.
    void LogBootloaderRecovery();

    // Asks a running procedure to end early (the user interrupted it). It ends with its abort
    // line, after the device has left a bootloader this procedure started and any tunnel it
    // opened is closed, with the monitor's port open again.
    void RequestAbort();

private:
    void BeginJob();
    void End();
    void EndWithAbort();
    void FailProgrammer(const std::string& reason);
    // Starts the programmer or follows the running one; true once its step is complete.
    bool ServeProgrammer();
    void ProgrammerDone();
    void ProgrammerTimedOut();
    // After a programmer ended early: the line that says what the device may be left in.
    void ReportDeviceLeftUnfinished();
    // An image read that cannot go to its file is kept under a name of its own.
    void KeepRecoveredImage(const std::string& image);
    void RemoveTempFile(const char* name);
    bool OpenBootPort();
    // The device node COM N leads to now, to find the same one again after the run. Its number
    // alone is not enough: a terminal that went away may have its number given to a new one at
    // once, so the time the node was made (its status change) goes with it.
    struct DeviceNode {
        uint64_t number = 0;  // 0: none
        int64_t madeNs = 0;
        bool operator==(const DeviceNode&) const = default;
    };
    static DeviceNode BootDeviceIdentity();
    // One handler per step of the step machine.
    void StepTunnelOpen();
    void StepTunnelOpenWait();
    void StepBootStart();
    void StepBootStartWait();
    void StepPortMode();
    void StepBootPortOpen();
    void StepBootProbe();
    void StepBootProbeCheck();
    void StepRunProgrammer();
    void StepBootExit();
    void StepPortReopen();
    void StepTunnelClose();
    void StepTunnelCloseWait();
    void StepAbortExit();
    void StepFinish();
    // The way out for an abort request at the current step; false while a step must first see
    // its request through.
    bool DivertForAbort();

    MonitorShell& shell_;
    UpdateHost& host_;
    LineSettings lineSettings_;

    int32_t requestState_ = kUpdateRequestIdle;
    uint32_t requestId_ = kUpdateRequestId;
    ReplyProcedure replyProcedure_ = nullptr;
    int32_t settleCountdownMs_ = 0;
    BusMessage message_{};
    // The next step asks its request on the tick after a reply.
    RequestClient<int32_t> request_{{requestState_, requestId_, message_, settleCountdownMs_},
                                    SettleAfter::FailureOnly};

    std::unique_ptr<ChildProcess> programmer_;
    ProgressLineReader progress_;
    LastLineKeeper programmerErrors_;
    // Scans the programmer's error output for the signature of the chip it found.
    void NoteProgrammerErrors(const std::string& text);
    std::string errorLinePart_;      // an unfinished line of that output
    std::string connectedSignature_;  // as "1E 97 05"; empty until seen
    bool programmerFailed_ = false;
    DeviceNode bootDevice_;
    std::string bootPath_;  // what COM N resolved to when the bootloader's port was opened
    uint32_t programmerLimitMs_ = 0;
    uint32_t programmerElapsedMs_ = 0;

    std::string workDirectory_;
    std::unique_ptr<DirectoryLock> workLock_;
    bool abortRequested_ = false;
    bool tunnelOpened_ = false;
    bool bootloaderStarted_ = false;
    bool bootloaderActive_ = false;  // it answered the probe
    bool exitSent_ = false;          // told to leave its bootloader
    bool programmerStarted_ = false;
    bool recoveryLogged_ = false;
    std::string lastReportLine_;
    std::string lastErrorLine_;
    ProcedureOutcome outcome_;
    std::string readImageSha256_;
    // What has come back to the latest bootloader probe (a sign-on may arrive in parts), and the
    // latest such answer that was not the sign-on, for the line that gives up.
    std::string probeReply_;
    std::string strayProbeReply_;
};

}  // namespace nvx
