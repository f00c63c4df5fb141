#include "progtool/update_procedure.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "comm/api_request.h"
#include "comm/tick.h"
#include "platform/atomic_file.h"
#include "platform/format.h"
#include "platform/serial_port.h"
#include "platform/text_encoding.h"

namespace nvx {

uint32_t UpdateStep = kStepIdle;
uint32_t ProgOperation = kOperationNone;
uint32_t StepCountdown = 0;
bool ReplyFlag = false;
DeviceSelection g_deviceSelection;

namespace {

constexpr uint8_t kEscape = 0x1B;
constexpr uint8_t kEnterProgramMode = 'S';
constexpr uint8_t kExitBootloader = 'E';
constexpr std::string_view kBootloaderId = "AVRBOOT";
constexpr std::string_view kErrorLinePrefix = "E>";

// The pause between steps (the monitor's /W), in ticks.
uint32_t StepWaitTicks() { return static_cast<uint32_t>(StepWait); }

bool ApplyBootLineSettings(int32_t portNumber, int32_t baudRate, std::string& error) {
    errno = 0;
    if (ApplyLineSettings(static_cast<uint32_t>(portNumber), static_cast<uint32_t>(baudRate)))
        return true;
    if (errno == EWOULDBLOCK) {
        // Another program opened the port while the device waits in its bootloader.
        const std::string holders =
            PortHolders(ResolveComPort(static_cast<uint32_t>(portNumber), ComStartDirectory()));
        error = Format("COM%d is in use by another program", portNumber) +
                (holders.empty() ? "" : " (" + holders + ")");
    } else {
        error = errno != 0 ? PortFailureReason(errno) : "cannot set the line";
    }
    return false;
}

}  // namespace

UpdateProcedure::UpdateProcedure(MonitorShell& shell, UpdateHost& host)
    : shell_(shell), host_(host), lineSettings_(ApplyBootLineSettings) {}

UpdateProcedure::~UpdateProcedure() = default;

void UpdateProcedure::Reset() {
    UpdateStep = kStepIdle;
    request_.Reset();
    g_deviceSelection.deviceCode = 0;
    ProgOperation = kOperationNone;
}

std::string UpdateProcedure::WorkDirectory() const {
    return workDirectory_.empty() ? StartDirectory : workDirectory_;
}

bool UpdateProcedure::ClaimWorkFiles(const std::string& userFile) {
    for (const char* name : {kFlashTempFileName, kEepromTempFileName, kWorkLockFileName}) {
        if (SameFilePath(userFile, WorkFilePath(name))) {
            detail = name;
            ReportProgToolMessage(kMsgWorkFileChosen);
            return false;
        }
    }
    workLock_ = std::make_unique<DirectoryLock>(WorkFilePath(kWorkLockFileName));
    std::string error;
    if (workLock_->TryAcquire(error)) return true;
    const bool busy = workLock_->busy();
    workLock_.reset();
    detail = error;
    ReportProgToolMessage(busy ? kMsgWorkFilesInUse : kMsgWorkLockFailed);
    return false;
}

void UpdateProcedure::ReleaseWorkFiles() {
    if (!workLock_) return;  // the files may be another procedure's
    RemoveTempFile(kFlashTempFileName);
    RemoveTempFile(kEepromTempFileName);
    workLock_.reset();
}

void UpdateProcedure::RequestAbort() {
    if (!IsIdle()) abortRequested_ = true;
}

void UpdateProcedure::StartProcedure(bool manualStart) {
    outcome_ = {};
    lastErrorLine_.clear();
    programmerFailed_ = false;
    bootDevice_ = {};
    abortRequested_ = false;
    tunnelOpened_ = false;
    bootloaderStarted_ = false;
    bootloaderActive_ = false;
    exitSent_ = false;
    programmerStarted_ = false;
    recoveryLogged_ = false;
    if (manualStart) {
        if (shell_.IsComPortOpen()) shell_.CloseComPort();
        StepCountdown = kManualStartTicks;
        UpdateStep = kStepBootPortOpen;
        BeginJob();
    } else if (shell_.IsComPortOpen()) {
        UpdateStep = IsRoutedDevice(g_deviceSelection.deviceCode) ? kStepTunnelOpen : kStepBootStart;
        BeginJob();
    } else {
        ReportProgToolMessage(kMsgComPortNotOpen);
        outcome_ = {ProcedureOutcome::Kind::Failed, lastErrorLine_};
        ReleaseWorkFiles();
    }
}

const char* UpdateStepName(uint32_t step, uint32_t operation) {
    switch (step) {
    case kStepTunnelOpen:
    case kStepTunnelOpenWait: return "Connecting through the controller";
    case kStepBootStart:
    case kStepBootStartWait: return "Starting the bootloader";
    case kStepPortMode:
    case kStepBootPortOpen:
    case kStepBootProbe:
    case kStepBootProbeCheck: return "Waiting for the bootloader";
    case kStepRunProgrammer:
        switch (operation) {
        case kOperationProgram: return "Writing the firmware";
        case kOperationEepromWrite: return "Writing the EEPROM";
        case kOperationEepromRead: return "Reading the EEPROM";
        default: return "Running the programmer";
        }
    case kStepBootExit: return "Leaving the bootloader";
    case kStepPortReopen: return "Reopening the port";
    case kStepTunnelClose:
    case kStepTunnelCloseWait: return "Closing the connection";
    case kStepAbortExit: return "Stopping";
    case kStepFinish: return "Finishing";
    default: return "";
    }
}

void UpdateProcedure::BeginJob() {
    host_.SetBusy(true);
    // The bar belongs to this job from its first step on, not to the job before.
    host_.ShowProgrammerProgress(0);
}

void UpdateProcedure::ReportProgToolMessage(int32_t code) {
    lastReportLine_ = ProgToolMessageLine(code, detail, damagedLine);
    if (lastReportLine_.starts_with(kErrorLinePrefix)) lastErrorLine_ = lastReportLine_;
    shell_.AppendMonitorLog(lastReportLine_);
}

void UpdateProcedure::AdvanceStep(int32_t code, uint32_t countdown, uint32_t nextStep) {
    if (code != 0) ReportProgToolMessage(code);
    if (countdown != 0) StepCountdown = countdown;
    UpdateStep = nextStep;
}

void UpdateProcedure::CountDown() {
    if (StepCountdown != 0) --StepCountdown;
}

void UpdateProcedure::End() {
    // An ending without its finish or abort line: the error said last is why.
    if (outcome_.kind == ProcedureOutcome::Kind::None)
        outcome_ = {ProcedureOutcome::Kind::Failed, lastErrorLine_};
    ReleaseWorkFiles();
    abortRequested_ = false;
    UpdateStep = kStepIdle;
    host_.SetBusy(false);
}

void UpdateProcedure::EndWithAbort() {
    // Asked to end, it ends aborted whatever went wrong on the way; otherwise the error said
    // before the abort line is why it ended.
    outcome_ = abortRequested_ ? ProcedureOutcome{ProcedureOutcome::Kind::Aborted, {}}
                               : ProcedureOutcome{ProcedureOutcome::Kind::Failed, lastErrorLine_};
    if (const int32_t line = AbortMessage(ProgOperation)) ReportProgToolMessage(line);
    if (outcome_.reason.empty() && outcome_.kind == ProcedureOutcome::Kind::Failed)
        outcome_.reason = lastReportLine_;
    const bool leftInBootloader = (bootloaderStarted_ || bootloaderActive_) && !exitSent_;
    // A flash the programmer began and did not finish may keep the device in its bootloader.
    const bool flashUnfinished =
        programmerStarted_ && programmerFailed_ && ProgOperation == kOperationProgram;
    if (leftInBootloader || flashUnfinished) LogBootloaderRecovery();
    ProgOperation = kOperationNone;
    End();
}

void UpdateProcedure::LogBootloaderRecovery() {
    if (recoveryLogged_) return;
    recoveryLogged_ = true;
    // Not through ReportProgToolMessage: the procedure's outcome stays its last report line.
    shell_.AppendMonitorLog(exitSent_ ? kRecoveryFromIncompleteFirmwareText
                                      : kRecoveryFromBootloaderText);
}

bool UpdateProcedure::OpenBootPort() {
    return g_serialPort.Open(static_cast<uint32_t>(ComPortNumber),
                             static_cast<uint32_t>(g_deviceSelection.bootBaud), 8, 0, 0);
}

UpdateProcedure::DeviceNode UpdateProcedure::BootDeviceIdentity() {
    struct stat device {};
    const std::string path =
        ResolveComPort(static_cast<uint32_t>(ComPortNumber), ComStartDirectory());
    if (path.empty() || ::stat(path.c_str(), &device) != 0) return {};
    return {device.st_rdev,
            int64_t{device.st_ctim.tv_sec} * 1'000'000'000 + device.st_ctim.tv_nsec};
}

void UpdateProcedure::RemoveTempFile(const char* name) {
    std::error_code ignored;
    std::filesystem::remove(WorkFilePath(name), ignored);
}

bool UpdateProcedure::DivertForAbort() {
    switch (UpdateStep) {
    case kStepTunnelOpen:
        EndWithAbort();
        return true;
    case kStepBootStart:
        if (tunnelOpened_) {
            StepCountdown = 0;
            UpdateStep = kStepTunnelClose;
        } else {
            EndWithAbort();
        }
        return true;
    case kStepPortMode:
    case kStepBootPortOpen:
    case kStepBootProbe:
    case kStepBootProbeCheck:
    case kStepRunProgrammer:
        if (programmer_) {
            programmer_.reset();  // ends it within seconds: it must let go of the port
            if (const int32_t line = LeavingMessage(ProgOperation)) ReportProgToolMessage(line);
            FailProgrammer("interrupted");
            ReportDeviceLeftUnfinished();
        }
        g_serialPort.Close();
        if (bootloaderStarted_ && UpdateStep != kStepRunProgrammer) {
            // As before the programmer: the line keeps the bootloader's speed when the port that
            // says 'E' closes.
            std::string ignored;
            lineSettings_(ComPortNumber, g_deviceSelection.bootBaud, ignored);
        }
        // The usual pause first: a bootloader just started may not be listening yet.
        AdvanceStep(0, StepWaitTicks(),
                    bootloaderStarted_ ? kStepBootExit : kStepAbortExit);
        return true;
    default:
        // Waiting for a reply, or already on the way out.
        return false;
    }
}

void UpdateProcedure::RunUpdateStep() {
    static constexpr struct {
        uint32_t step;
        void (UpdateProcedure::*handler)();
    } kHandlers[] = {
        {kStepTunnelOpen, &UpdateProcedure::StepTunnelOpen},
        {kStepTunnelOpenWait, &UpdateProcedure::StepTunnelOpenWait},
        {kStepBootStart, &UpdateProcedure::StepBootStart},
        {kStepBootStartWait, &UpdateProcedure::StepBootStartWait},
        {kStepPortMode, &UpdateProcedure::StepPortMode},
        {kStepBootPortOpen, &UpdateProcedure::StepBootPortOpen},
        {kStepBootProbe, &UpdateProcedure::StepBootProbe},
        {kStepBootProbeCheck, &UpdateProcedure::StepBootProbeCheck},
        {kStepRunProgrammer, &UpdateProcedure::StepRunProgrammer},
        {kStepBootExit, &UpdateProcedure::StepBootExit},
        {kStepPortReopen, &UpdateProcedure::StepPortReopen},
        {kStepTunnelClose, &UpdateProcedure::StepTunnelClose},
        {kStepTunnelCloseWait, &UpdateProcedure::StepTunnelCloseWait},
        {kStepAbortExit, &UpdateProcedure::StepAbortExit},
        {kStepFinish, &UpdateProcedure::StepFinish},
    };
    if (abortRequested_ && DivertForAbort()) return;
    for (const auto& h : kHandlers) {
        if (h.step == UpdateStep) {
            (this->*h.handler)();
            return;
        }
    }
}

void UpdateProcedure::StepTunnelOpen() {
    if (UpdateCommandRequest(1, kTunnelOnWord) != 0) {
        ReportProgToolMessage(kMsgErrorInitiating);
        End();
    } else {
        ReplyFlag = false;
        AdvanceStep(0, kRequestReplyTicks, kStepTunnelOpenWait);
    }
}

void UpdateProcedure::StepTunnelOpenWait() {
    if (ReplyFlag) {
        tunnelOpened_ = true;
        AdvanceStep(kMsgConnected, kTunnelSettleTicks, kStepBootStart);
    } else if (StepCountdown == 0) {
        request_.Withdraw();
        ReportProgToolMessage(kMsgNoReplyToApiCommand);
        End();
    }
}

void UpdateProcedure::StepBootStart() {
    if (StepCountdown != 0) return;
    if (UpdateCommandRequest(1, g_deviceSelection.bootTarget * 256 + kBootloadStartCode) != 0) {
        ReportProgToolMessage(kMsgErrorInitiating);
        End();
    } else {
        ReplyFlag = false;
        AdvanceStep(0, kRequestReplyTicks, kStepBootStartWait);
    }
}

void UpdateProcedure::StepBootStartWait() {
    if (ReplyFlag) {
        bootloaderStarted_ = true;
        shell_.CloseComPort();
        AdvanceStep(kMsgBootloaderStarted, StepWaitTicks(), kStepBootPortOpen);
    } else if (StepCountdown == 0) {
        request_.Withdraw();
        ReportProgToolMessage(kMsgNoReplyToApiCommand);
        // The command may have come through with its reply lost, or an earlier ending left the
        // device in its bootloader, where it answers no request.
        LogBootloaderRecovery();
        End();
    }
}

void UpdateProcedure::StepPortMode() {
    if (StepCountdown != 0) return;
    std::string error;
    if (lineSettings_(ComPortNumber, g_deviceSelection.bootBaud, error)) {
        AdvanceStep(0, StepWaitTicks(), kStepRunProgrammer);
    } else {
        detail = error;
        AdvanceStep(kMsgCommandMode, StepWaitTicks(), kStepAbortExit);
    }
}

void UpdateProcedure::StepBootPortOpen() {
    if (StepCountdown != 0) return;
    if (OpenBootPort()) {
        bootDevice_ = BootDeviceIdentity();
        bootPath_ = ResolveComPort(static_cast<uint32_t>(ComPortNumber), ComStartDirectory());
        strayProbeReply_.clear();
        AdvanceStep(0, kBootProbeTicks, kStepBootProbe);
    } else {
        AdvanceStep(0, StepWaitTicks(), kStepAbortExit);  // the port has shown its own message
    }
}

void UpdateProcedure::StepBootProbe() {
    if (StepCountdown != 0) {
        uint8_t discard[64];
        while (g_serialPort.Read(discard, sizeof discard) > 0) {
        }
        const uint8_t probe[] = {kEscape, kEscape, kEscape};
        g_serialPort.Write(probe, sizeof probe);
        g_serialPort.Write(&kEnterProgramMode, 1);
        probeReply_.clear();
        AdvanceStep(0, 0, kStepBootProbeCheck);
    } else {
        g_serialPort.Close();
        detail = strayProbeReply_.empty()
                     ? "no reply"
                     : "answered \"" + EscapeControlCharacters(strayProbeReply_) + "\"";
        AdvanceStep(kMsgBootloaderNotActive, StepWaitTicks(), kStepAbortExit);
    }
}

void UpdateProcedure::StepBootProbeCheck() {
    uint8_t reply[kBootloaderId.size()];
    const uint32_t n =
        g_serialPort.Read(reply, static_cast<uint32_t>(kBootloaderId.size() - probeReply_.size()));
    probeReply_.append(reinterpret_cast<const char*>(reply), n);
    if (probeReply_ == kBootloaderId) {
        bootloaderActive_ = true;
        g_serialPort.Close();
        AdvanceStep(kMsgBootloaderActive, StepWaitTicks(), kStepPortMode);
    } else if (probeReply_.empty() || !kBootloaderId.starts_with(probeReply_) ||
               StepCountdown == 0) {
        if (!probeReply_.empty()) strayProbeReply_ = probeReply_;
        AdvanceStep(0, 0, kStepBootProbe);
    }
    // Otherwise the start of the sign-on has come: the rest follows on a later tick.
}

void UpdateProcedure::StepRunProgrammer() {
    if (StepCountdown != 0) return;
    if (ServeProgrammer()) AdvanceStep(0, StepWaitTicks(), kStepBootExit);
}

void UpdateProcedure::StepBootExit() {
    if (StepCountdown != 0) return;
    // A device that vanished during the run may have left the port to another one: that one
    // is not told to leave a bootloader, nor reported restarted.
    const DeviceNode device = BootDeviceIdentity();
    const std::string path =
        ResolveComPort(static_cast<uint32_t>(ComPortNumber), ComStartDirectory());
    struct stat link {};
    if (bootDevice_.number != 0 && path != bootPath_ && ::lstat(bootPath_.c_str(), &link) != 0) {
        // The name COM N went through (a link, a device node) has gone with the device.
        detail = bootPath_;
        AdvanceStep(kMsgComLinkGone, StepWaitTicks(), kStepAbortExit);
    } else if (bootDevice_.number != 0 && device.number != 0 && device != bootDevice_) {
        AdvanceStep(kMsgDeviceChanged, StepWaitTicks(), kStepAbortExit);
    } else if (OpenBootPort()) {
        exitSent_ = g_serialPort.Write(&kExitBootloader, 1) == 1;
        g_serialPort.Close();
        AdvanceStep(kMsgDeviceRestarted, StepWaitTicks(), kStepPortReopen);
    } else {
        AdvanceStep(0, StepWaitTicks(), kStepAbortExit);
    }
}

void UpdateProcedure::StepPortReopen() {
    if (StepCountdown != 0) return;
    if (shell_.OpenComPort()) {
        AdvanceStep(0, 0,
                    IsRoutedDevice(g_deviceSelection.deviceCode) ? kStepTunnelClose
                                                                 : kStepFinish);
    } else {
        ReportProgToolMessage(kMsgCannotReopenCom);
        End();
    }
}

void UpdateProcedure::StepTunnelClose() {
    if (UpdateCommandRequest(1, kTunnelOffWord) != 0) {
        ReportProgToolMessage(kMsgErrorInitiating);
        End();
    } else {
        ReplyFlag = false;
        AdvanceStep(0, kRequestReplyTicks, kStepTunnelCloseWait);
    }
}

void UpdateProcedure::StepTunnelCloseWait() {
    if (ReplyFlag) {
        AdvanceStep(kMsgDisconnected, 0, kStepFinish);
    } else if (StepCountdown == 0) {
        request_.Withdraw();
        ReportProgToolMessage(kMsgNoReplyToApiCommand);
        EndWithAbort();
    }
}

void UpdateProcedure::StepAbortExit() {
    if (StepCountdown != 0) return;
    if (!shell_.OpenComPort()) ReportProgToolMessage(kMsgCannotReopenCom);
    EndWithAbort();
}

void UpdateProcedure::StepFinish() {
    // The finish line stands for a programmer run that worked; anything else is an abort.
    if (programmerFailed_ || abortRequested_) {
        EndWithAbort();
        return;
    }
    if (const int32_t line = FinishMessage(ProgOperation)) ReportProgToolMessage(line);
    outcome_ = {ProcedureOutcome::Kind::Finished, {}};
    if (ProgOperation == kOperationProgram && AutoStartState == kAutoStartRunning)
        AutoStartState = kAutoStartFinished;
    ProgOperation = kOperationNone;
    End();
}

int32_t UpdateProcedure::QueueUpdateRequest(ReplyProcedure procedure, uint32_t id) {
    if (!request_.Queue(id)) return 1;
    replyProcedure_ = procedure;
    return 0;
}

int32_t UpdateProcedure::UpdateCommandRequest(int32_t phase, int32_t value) {
    if (phase == 1) {
        const int32_t queued =
            QueueUpdateRequest(&UpdateProcedure::UpdateCommandRequest, kUpdateRequestId);
        // When busy, the record may belong to the request under way: leave it alone.
        if (queued == 0) MsgSetWord(message_, 0, static_cast<uint16_t>(value));
        return queued;
    }
    if (value == 0 || value == 2) {
        ReplyFlag = true;
        return 0;
    }
    End();
    return 2;
}

void UpdateProcedure::UpdateRequestTick() {
    switch (request_.Tick(replyProcedure_ != nullptr)) {
    case RequestEvent::NoReply:
        ReportProgToolMessage(kMsgNoReplyFromKernel);
        break;
    case RequestEvent::Replied:
        if ((this->*replyProcedure_)(2, request_.replyLength()) == 2)
            ReportProgToolMessage(kMsgWrongFormat);
        break;
    default:
        break;
    }
}

}  // namespace nvx
