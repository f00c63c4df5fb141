#include "progtool/update_procedure.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "comm/api_request.h"
#include "comm/tick.h"
#include "platform/atomic_file.h"
#include "platform/format.h"
#include "platform/serial_port.h"
#include "platform/sha256.h"
#include "platform/text_encoding.h"
#include "progtool/program_file.h"

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

int32_t LeavingMessage(uint32_t operation) {
    switch (operation) {
    case kOperationProgram: return kMsgLeavingProgramMode;
    case kOperationEepromWrite: return kMsgLeavingEepromProgramMode;
    case kOperationEepromRead: return kMsgLeavingEepromReadMode;
    default: return 0;
    }
}

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

int32_t FinishMessage(uint32_t operation) {
    switch (operation) {
    case kOperationProgram: return kMsgUpdateFinished;
    case kOperationEepromWrite: return kMsgWriteFinished;
    case kOperationEepromRead: return kMsgReadFinished;
    default: return 0;
    }
}

int32_t AbortMessage(uint32_t operation) {
    switch (operation) {
    case kOperationProgram: return kMsgUpdateAborted;
    case kOperationEepromWrite: return kMsgWriteAborted;
    case kOperationEepromRead: return kMsgReadAborted;
    default: return 0;
    }
}

std::string ProgToolMessageLine(int32_t code, const std::string& detail, uint32_t line) {
    switch (code) {
    case kMsgComPortNotOpen: return "E> COM Port NOT Open";
    case kMsgCommandInProgress: return "E> Command in Progress";
    case kMsgErrorInitiating: return "E> Error Initiating Transfer";
    case kMsgNoReplyFromKernel: return "E> No Reply from Kernel";
    case kMsgWrongFormat: return Format("E> Wrong Format Response at ID: %04X", kUpdateRequestId);
    case kMsgProgramFileNotFound: return "E> Program file not found";
    case kMsgNoDeviceSet: return "E> No device set";
    case kMsgCommandMode: return "E> Command MODE: " + detail;
    case kMsgBootloaderNotActive: return "E> Bootloader not activ: " + detail;
    case kMsgCommandProgrammer: return "E> Command NorvixOSP: " + detail;
    case kMsgLeavingProgramMode: return " > Leaving Program Mode";
    case kMsgNoReplyToApiCommand: return "E> No Reply to API Command";
    case kMsgBootloaderStarted: return " > Bootloader started";
    case kMsgBootloaderActive: return " > Bootloader activ";
    case kMsgDeviceRestarted: return " > Device restarted";
    case kMsgConnected: return " > Connected to Controller";
    case kMsgDisconnected: return " > Disconnected from Controller";
    case kMsgUpdateFinished: return "I> Update finished";
    case kMsgUpdateAborted: return "E> Update aborted";
    case kMsgCannotReopenCom: return "E> Cannot reopen COM";
    case kMsgLeavingEepromReadMode: return " > Leaving EEPROM Read Mode";
    case kMsgLeavingEepromProgramMode: return " > Leaving EEPROM Program Mode";
    case kMsgEepromFileNotDefined: return "E> EEPROM file not defined";
    case kMsgCannotOpenEepromFile: return "E> cannot open EEPROM file";
    case kMsgWriteFinished: return "I> Write Process finished";
    case kMsgWriteAborted: return "E> Write Process aborted";
    case kMsgReadFinished: return "I> Read Process finished";
    case kMsgReadAborted: return "E> Read Process aborted";
    case kMsgAutostartActive: return "I> Autostart active";
    case kMsgProgramFileDamaged: return Format("E> Program file damaged, line %u", line);
    case kMsgWorkFilesInUse: return "E> Another update is running in this directory";
    case kMsgWorkLockFailed: return "E> Work files cannot be locked: " + detail;
    case kMsgWorkFileChosen: return "E> Work file of the programmer chosen: " + detail;
    case kMsgProgramFileEmpty: return "E> Program file holds no data";
    case kMsgProgramFileTooLarge: return "E> Program file does not fit " + detail;
    case kMsgPartDescriptionUnreadable:
        return " > Firmware size not checked, part description " + detail;
    case kMsgProgrammerTimedOut: return "E> Programmer timed out after " + detail + " s";
    case kMsgEepromFileUnwritable: return "E> cannot open EEPROM file: " + detail;
    case kMsgEepromImageKept: return "I> EEPROM image kept as " + detail;
    case kMsgProgramFileRecordType:
        return Format("E> Program file holds a record of unknown type %s, line %u", detail.c_str(),
                      line);
    case kMsgProgramFileIncomplete: return "E> Program file incomplete: no end-of-file record";
    case kMsgComLinkGone:
        return Format("E> COM%d is gone: %s no longer exists", ComPortNumber, detail.c_str());
    case kMsgProgramFileNotRegular: return "E> Program file is not a regular file";
    case kMsgEepromFileRefused: return "E> EEPROM file refused: " + detail;
    case kMsgFlashMayBeErased:
        return "E> The device may be erased and wait in its bootloader: program it again with "
               "Manual Update Start Mode";
    case kMsgMayWaitInBootloader:
        return "E> The device may wait in its bootloader: repeat with Manual Update Start Mode";
    case kMsgDeviceChanged: return Format("E> COM%d leads to another device now", ComPortNumber);
    default: return "E> Unknown Message";
    }
}

std::vector<std::string> ProgrammerArguments(uint32_t operation, const DeviceSelection& selection,
                                             int32_t comPortNumber) {
    const std::string port = Format("-cCOM%d", comPortNumber);
    switch (operation) {
    case kOperationProgram:
        return {kProgrammerArgument0, selection.programmerDevice, "-iftemp.ntf", "-e", "-pf",
                ProgrammerDelayOption(selection.ProgrammerDelayFlag), port};
    case kOperationEepromWrite:
        return {kProgrammerArgument0, selection.programmerDevice, "-ietemp.hex", "-pe", port};
    case kOperationEepromRead:
        return {kProgrammerArgument0, selection.programmerDevice, "-oetemp.hex", "-re", port};
    default:
        return {kProgrammerArgument0};
    }
}

uint32_t ProgrammerTimeLimitMs(uint32_t transferBytes, int32_t baudRate) {
    const uint64_t baud = baudRate > 0 ? static_cast<uint64_t>(baudRate) : 1;
    const uint64_t wireMs =
        (2ull * transferBytes * kBitsPerByteOnTheWire * 1000 + baud - 1) / baud;
    const uint64_t limit = kProgrammerMarginMs + kProgrammerWireFactor * wireMs;
    return limit > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(limit);
}

std::string PlainProgrammerFailure(std::string_view reason) {
    std::string lower(reason);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto has = [&](std::string_view words) { return lower.find(words) != std::string::npos; };
    constexpr std::string_view kExpected = "expected signature for ";
    if (const std::size_t at = lower.find(kExpected); at != std::string::npos) {
        const std::size_t from = at + kExpected.size();
        const std::size_t to = lower.find(" is", from);
        const std::string chip(reason.substr(from, to == std::string::npos ? to : to - from));
        return "The connected chip is not the " + chip +
               " the chosen device needs: choose the device that is connected, or connect the "
               "device chosen.";
    }
    if (has("cannot start avrdude"))
        return "The programmer avrdude is not installed: install it (package avrdude).";
    if (has("not responding") || has("initialization failed") || has("timeout") ||
        has("timed out"))
        return "No bootloader answers: check the cable and the port number, start the device's "
               "bootloader by hand if the tool asks for it, and try again.";
    if (has("leads to no device") || has("no such file or directory"))
        return "There is no port with this number: check the port number and the cable.";
    if (has("busy"))
        return "Another program holds the port: close it and try again.";
    if (has("permission denied"))
        return "This user may not open the port: add the user to the group dialout, log in "
               "again and try again.";
    return {};
}

uint32_t ProgrammerTimeLimitForRunMs(uint32_t transferBytes, int32_t baudRate) {
    if (const char* text = std::getenv(kProgrammerLimitVariable); text && *text) {
        char* end = nullptr;
        errno = 0;
        const unsigned long seconds = std::strtoul(text, &end, 10);
        if (*end == '\0' && errno == 0 && text[0] != '-' && seconds >= 1 &&
            seconds <= UINT32_MAX / 1000)
            return static_cast<uint32_t>(seconds * 1000);
    }
    return ProgrammerTimeLimitMs(transferBytes, baudRate);
}

bool IsCompleteHexImage(const std::string& text) {
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        if (line.front() != ':' || CheckHexRecord(line) != RecordFault::None) return false;
        // Record type: the byte after count and address.
        if (line.substr(7, 2) == "01") return true;
    }
    return false;
}

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

void UpdateProcedure::FailProgrammer(const std::string& reason) {
    detail = reason;
    ReportProgToolMessage(kMsgCommandProgrammer);
    programmerFailed_ = true;
}

bool UpdateProcedure::ServeProgrammer() {
    if (!programmer_) {
        // A read must never hand on an image some earlier run left behind.
        if (ProgOperation == kOperationEepromRead) RemoveTempFile(kEepromTempFileName);
        readImageSha256_.clear();
        ProcessSpec launch;
        launch.program = StartDirectory + kProgrammerFileName;
        launch.arguments = ProgrammerArguments(ProgOperation, g_deviceSelection, ComPortNumber);
        launch.workingDirectory = WorkDirectory();
        progress_ = ProgressLineReader{};
        programmerErrors_ = LastLineKeeper{};
        programmerElapsedMs_ = 0;
        programmerLimitMs_ =
            ProgrammerTimeLimitForRunMs(transferBytes, g_deviceSelection.bootBaud);
        std::string error;
        programmer_ = Processes().Start(launch, error);
        programmerStarted_ = programmer_ != nullptr;
        if (!programmer_) {
            FailProgrammer(error);
            RemoveTempFile(ProgOperation == kOperationProgram ? kFlashTempFileName
                                                              : kEepromTempFileName);
            return true;
        }
    }
    for (const int percent : progress_.Feed(programmer_->TakeOutput()))
        host_.ShowProgrammerProgress(percent);
    programmerErrors_.Feed(programmer_->TakeErrors());
    if (!programmer_->Finished()) {
        programmerElapsedMs_ += g_tickPeriodMs;
        if (programmerElapsedMs_ < programmerLimitMs_) return false;
        ProgrammerTimedOut();
        return true;
    }
    for (const int percent : progress_.Feed(programmer_->TakeOutput()))
        host_.ShowProgrammerProgress(percent);
    programmerErrors_.Feed(programmer_->TakeErrors());
    ProgrammerDone();
    return true;
}

void UpdateProcedure::ProgrammerTimedOut() {
    programmer_.reset();  // ends it with avrdude, within seconds
    detail = std::to_string(programmerElapsedMs_ / 1000);
    ReportProgToolMessage(kMsgProgrammerTimedOut);
    ReportDeviceLeftUnfinished();
    programmerFailed_ = true;
    RemoveTempFile(ProgOperation == kOperationProgram ? kFlashTempFileName : kEepromTempFileName);
}

void UpdateProcedure::ReportDeviceLeftUnfinished() {
    // A flash write erases the chip first: cut short, no application is left to start.
    ReportProgToolMessage(ProgOperation == kOperationProgram ? kMsgFlashMayBeErased
                                                             : kMsgMayWaitInBootloader);
    // That says what to do: the ending adds no second advice.
    recoveryLogged_ = true;
}

void UpdateProcedure::KeepRecoveredImage(const std::string& image) {
    // A fresh name each time: another procedure may keep its own image beside this one.
    for (int n = 1; n <= kMaxRecoveredEepromFiles; ++n) {
        const std::string path = StartDirectory + Format(kRecoveredEepromFormat, n);
        std::string error;
        if (WriteNewFile(path, image, &error)) {
            detail = path;
            ReportProgToolMessage(kMsgEepromImageKept);
            return;
        }
        if (!std::filesystem::exists(path)) return;
    }
}

void UpdateProcedure::ProgrammerDone() {
    const int exitCode = programmer_->ExitCode();
    programmer_.reset();
    if (const int32_t line = LeavingMessage(ProgOperation)) ReportProgToolMessage(line);
    if (exitCode > 128)
        FailProgrammer(Format("ended by signal %d", exitCode - 128));
    else if (exitCode != 0)
        FailProgrammer(Format("exit status %d", exitCode));
    // The programmer's own word on why: what a technician can act on.
    if (const std::string reason = programmerErrors_.Last(); exitCode != 0 && !reason.empty()) {
        shell_.AppendMonitorLog("E> " + reason);
        if (const std::string plain = PlainProgrammerFailure(reason); !plain.empty())
            shell_.AppendMonitorLog(" > " + plain);
    }

    if (ProgOperation == kOperationProgram) {
        RemoveTempFile(kFlashTempFileName);
        return;
    }
    if (ProgOperation == kOperationEepromRead && !programmerFailed_) {
        // The EEPROM file is replaced only by a complete image, and in one step.
        std::string image;
        if (!ReadWholeFile(WorkFilePath(kEepromTempFileName), image) ||
            !IsCompleteHexImage(image)) {
            FailProgrammer("no complete temp.hex");
        } else if (std::string error; !WriteFileAtomically(eepromFilePath, image, &error)) {
            detail = error;
            ReportProgToolMessage(kMsgEepromFileUnwritable);
            KeepRecoveredImage(image);
            programmerFailed_ = true;
        } else {
            readImageSha256_ = Sha256Hex(image);
        }
    }
    RemoveTempFile(kEepromTempFileName);
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
        AdvanceStep(0, static_cast<uint32_t>(StepWait),
                    bootloaderStarted_ ? kStepBootExit : kStepAbortExit);
        return true;
    default:
        // Waiting for a reply, or already on the way out.
        return false;
    }
}

void UpdateProcedure::RunUpdateStep() {
    const uint32_t stepWait = static_cast<uint32_t>(StepWait);
    if (abortRequested_ && DivertForAbort()) return;
    switch (UpdateStep) {
    case kStepTunnelOpen:
        if (UpdateCommandRequest(1, kTunnelOnWord) != 0) {
            ReportProgToolMessage(kMsgErrorInitiating);
            End();
        } else {
            ReplyFlag = false;
            AdvanceStep(0, kRequestReplyTicks, kStepTunnelOpenWait);
        }
        break;
    case kStepTunnelOpenWait:
        if (ReplyFlag) {
            tunnelOpened_ = true;
            AdvanceStep(kMsgConnected, kTunnelSettleTicks, kStepBootStart);
        } else if (StepCountdown == 0) {
            request_.Withdraw();
            ReportProgToolMessage(kMsgNoReplyToApiCommand);
            End();
        }
        break;
    case kStepBootStart:
        if (StepCountdown != 0) break;
        if (UpdateCommandRequest(1, g_deviceSelection.bootTarget * 256 + kBootloadStartCode) != 0) {
            ReportProgToolMessage(kMsgErrorInitiating);
            End();
        } else {
            ReplyFlag = false;
            AdvanceStep(0, kRequestReplyTicks, kStepBootStartWait);
        }
        break;
    case kStepBootStartWait:
        if (ReplyFlag) {
            bootloaderStarted_ = true;
            shell_.CloseComPort();
            AdvanceStep(kMsgBootloaderStarted, stepWait, kStepBootPortOpen);
        } else if (StepCountdown == 0) {
            request_.Withdraw();
            ReportProgToolMessage(kMsgNoReplyToApiCommand);
            // The command may have come through with its reply lost, or an earlier ending left the
            // device in its bootloader, where it answers no request.
            LogBootloaderRecovery();
            End();
        }
        break;
    case kStepPortMode: {
        if (StepCountdown != 0) break;
        std::string error;
        if (lineSettings_(ComPortNumber, g_deviceSelection.bootBaud, error)) {
            AdvanceStep(0, stepWait, kStepRunProgrammer);
        } else {
            detail = error;
            AdvanceStep(kMsgCommandMode, stepWait, kStepAbortExit);
        }
        break;
    }
    case kStepBootPortOpen:
        if (StepCountdown != 0) break;
        if (OpenBootPort()) {
            bootDevice_ = BootDeviceIdentity();
            bootPath_ = ResolveComPort(static_cast<uint32_t>(ComPortNumber), ComStartDirectory());
            strayProbeReply_.clear();
            AdvanceStep(0, kBootProbeTicks, kStepBootProbe);
        }
        else
            AdvanceStep(0, stepWait, kStepAbortExit);  // the port has shown its own message
        break;
    case kStepBootProbe:
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
            AdvanceStep(kMsgBootloaderNotActive, stepWait, kStepAbortExit);
        }
        break;
    case kStepBootProbeCheck: {
        uint8_t reply[kBootloaderId.size()];
        const uint32_t n =
            g_serialPort.Read(reply, static_cast<uint32_t>(kBootloaderId.size() - probeReply_.size()));
        probeReply_.append(reinterpret_cast<const char*>(reply), n);
        if (probeReply_ == kBootloaderId) {
            bootloaderActive_ = true;
            g_serialPort.Close();
            AdvanceStep(kMsgBootloaderActive, stepWait, kStepPortMode);
        } else if (probeReply_.empty() || !kBootloaderId.starts_with(probeReply_) ||
                   StepCountdown == 0) {
            if (!probeReply_.empty()) strayProbeReply_ = probeReply_;
            AdvanceStep(0, 0, kStepBootProbe);
        }
        // Otherwise the start of the sign-on has come: the rest follows on a later tick.
        break;
    }
    case kStepRunProgrammer:
        if (StepCountdown != 0) break;
        if (ServeProgrammer()) AdvanceStep(0, stepWait, kStepBootExit);
        break;
    case kStepBootExit:
        if (StepCountdown != 0) break;
    {
        // A device that vanished during the run may have left the port to another one: that one
        // is not told to leave a bootloader, nor reported restarted.
        const DeviceNode device = BootDeviceIdentity();
        const std::string path =
            ResolveComPort(static_cast<uint32_t>(ComPortNumber), ComStartDirectory());
        struct stat link {};
        if (bootDevice_.number != 0 && path != bootPath_ && ::lstat(bootPath_.c_str(), &link) != 0) {
            // The name COM N went through (a link, a device node) has gone with the device.
            detail = bootPath_;
            AdvanceStep(kMsgComLinkGone, stepWait, kStepAbortExit);
        } else if (bootDevice_.number != 0 && device.number != 0 && device != bootDevice_) {
            AdvanceStep(kMsgDeviceChanged, stepWait, kStepAbortExit);
        } else if (OpenBootPort()) {
            exitSent_ = g_serialPort.Write(&kExitBootloader, 1) == 1;
            g_serialPort.Close();
            AdvanceStep(kMsgDeviceRestarted, stepWait, kStepPortReopen);
        } else {
            AdvanceStep(0, stepWait, kStepAbortExit);
        }
        break;
    }
    case kStepPortReopen:
        if (StepCountdown != 0) break;
        if (shell_.OpenComPort()) {
            AdvanceStep(0, 0,
                        IsRoutedDevice(g_deviceSelection.deviceCode) ? kStepTunnelClose
                                                                     : kStepFinish);
        } else {
            ReportProgToolMessage(kMsgCannotReopenCom);
            End();
        }
        break;
    case kStepTunnelClose:
        if (UpdateCommandRequest(1, kTunnelOffWord) != 0) {
            ReportProgToolMessage(kMsgErrorInitiating);
            End();
        } else {
            ReplyFlag = false;
            AdvanceStep(0, kRequestReplyTicks, kStepTunnelCloseWait);
        }
        break;
    case kStepTunnelCloseWait:
        if (ReplyFlag) {
            AdvanceStep(kMsgDisconnected, 0, kStepFinish);
        } else if (StepCountdown == 0) {
            request_.Withdraw();
            ReportProgToolMessage(kMsgNoReplyToApiCommand);
            EndWithAbort();
        }
        break;
    case kStepAbortExit:
        if (StepCountdown != 0) break;
        if (!shell_.OpenComPort()) ReportProgToolMessage(kMsgCannotReopenCom);
        EndWithAbort();
        break;
    case kStepFinish:
        // The finish line stands for a programmer run that worked; anything else is an abort.
        if (programmerFailed_ || abortRequested_) {
            EndWithAbort();
            break;
        }
        if (const int32_t line = FinishMessage(ProgOperation)) ReportProgToolMessage(line);
        outcome_ = {ProcedureOutcome::Kind::Finished, {}};
        if (ProgOperation == kOperationProgram && AutoStartState == kAutoStartRunning)
            AutoStartState = kAutoStartFinished;
        ProgOperation = kOperationNone;
        End();
        break;
    default:
        break;
    }
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
