#include "progtool/service_run.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "comm/api_request.h"
#include "journal/service_journal.h"
#include "platform/format.h"
#include "platform/sha256.h"
#include "platform/timer_service.h"

namespace nvx {

namespace {

constexpr int kBackupNameAttempts = 100;

const char* JournalOperationName(uint32_t operation) {
    switch (operation) {
        case kOperationProgram:
            return kJournalFirmwareUpdate;
        case kOperationEepromWrite:
            return kJournalEepromWrite;
        default:
            return kJournalEepromRead;
    }
}

std::string Sha256OrEmpty(const std::string& path) {
    std::string digest;
    return FileSha256Hex(path, digest) ? digest : std::string();
}

}  // namespace

std::string ApplicationVersionText(const BusMessage& reply) {
    return Format("Application V %d.%d, Build %02d-%02d", MsgGetByte(reply, 1),
                  MsgGetByte(reply, 0), MsgGetByte(reply, 3), MsgGetByte(reply, 2));
}

std::string JournalDeviceLabel(int32_t row) {
    const DeviceEntry* entry = DeviceRowEntry(row);
    if (entry == nullptr) return "";
    std::string_view label = entry->label;
    if (label.rfind("> ", 0) == 0) label.remove_prefix(2);
    return std::string(label);
}

std::string BackupFileName(const std::string& deviceKey, std::time_t t) {
    std::tm local{};
    ::localtime_r(&t, &local);
    char stamp[32];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return std::string(kBackupFolder) + deviceKey + "-" + std::string(stamp, n) + ".hex";
}

bool PlaceBackupFile(const std::string& staged, const std::string& wanted, std::string& placed,
                     std::string& error) {
    const std::size_t dot = wanted.rfind('.');
    const std::string stem = wanted.substr(0, dot);
    const std::string extension = dot == std::string::npos ? "" : wanted.substr(dot);
    bool ok = false;
    for (int attempt = 1; attempt <= kBackupNameAttempts && !ok; ++attempt) {
        const std::string name =
            attempt == 1 ? wanted : Format("%s-%d", stem.c_str(), attempt) + extension;
        // A hard link appears complete or not at all and never replaces an existing name.
        if (::link(staged.c_str(), name.c_str()) == 0) {
            placed = name;
            ok = true;
        } else if (errno != EEXIST) {
            error = std::strerror(errno);
            break;
        }
    }
    if (!ok && error.empty()) error = "no free name";
    ::unlink(staged.c_str());
    return ok;
}

void ApplicationVersionQuery::Start() {
    // A query asked again starts afresh, whatever became of the one before.
    request_.Reset();
    request_.Queue(kVersionQueryId);
    MsgSetByte(message_, 0, kApplicationVersionSelector);
    text_.clear();
    outcome_ = Outcome::None;
}

void ApplicationVersionQuery::Tick() {
    switch (request_.Tick(true)) {
        case RequestEvent::Replied:
            if (request_.replyLength() == 4) {
                text_ = ApplicationVersionText(message_);
                outcome_ = Outcome::Read;
            } else {
                outcome_ = Outcome::Failed;
            }
            break;
        case RequestEvent::NoReply:
        case RequestEvent::Lost:
            outcome_ = Outcome::Failed;
            break;
        default:
            break;
    }
}

ServiceRun::ServiceRun(MonitorShell& shell, UpdateProcedure& procedure, UpdateHost& host)
    : shell_(shell), procedure_(procedure), host_(host) {}

void ServiceRun::Start(bool manualStart, bool backupFirst, bool checkVersions,
                       const std::string& file, const std::string& deviceLabel) {
    operation_ = ProgOperation;
    manualStart_ = manualStart;
    backupFirst_ = backupFirst && operation_ == kOperationProgram;
    file_ = file;
    eepromFilePath_ = procedure_.eepromFilePath;
    deviceLabel_ = deviceLabel;
    versionBefore_.clear();
    versionAfter_.clear();
    outcome_.clear();
    result_ = {};
    backupFile_.clear();
    heldAutoStartEnd_ = false;
    abortRequested_ = false;
    // What is written is fixed now; what is read only exists afterwards.
    sha256_ = operation_ == kOperationEepromRead ? "" : Sha256OrEmpty(file_);

    checkVersions_ = false;
    if (checkVersions && operation_ == kOperationProgram) {
        if (IsRoutedDevice(g_deviceSelection.deviceCode))
            shell_.AppendMonitorLog(kVersionRoutedText);
        else
            checkVersions_ = true;
    }
    // A device started by hand may sit in its bootloader already: only its version after is read.
    if (checkVersions_ && !manualStart_ && shell_.IsComPortOpen()) {
        host_.SetBusy(true);
        query_.Start();
        phase_ = Phase::VersionBefore;
        return;
    }
    StartBackupOrOperation();
}

void ServiceRun::StartBackupOrOperation() {
    if (backupFirst_)
        StartBackup();
    else
        StartOperation();
}

void ServiceRun::StartBackup() {
    wantedBackup_ = BackupFileName(g_deviceSelection.deviceKey, Calendar().now());
    std::error_code ec;
    std::filesystem::create_directories(StartDirectory + kBackupFolder, ec);
    // Private to this program until it is complete.
    stagedBackup_ =
        StartDirectory + kBackupFolder +
        Format(".%s.%d.part", g_deviceSelection.deviceKey.c_str(), static_cast<int>(::getpid()));
    procedure_.eepromFilePath = stagedBackup_;
    ProgOperation = kOperationEepromRead;
    procedure_.StartProcedure(manualStart_);
    phase_ = Phase::Backup;
    if (procedure_.IsIdle()) BackupDone();
}

void ServiceRun::AbortBeforeTheUpdate() {
    result_ = {ProcedureOutcome::Kind::Aborted, {}};
    procedure_.ReportProgToolMessage(AbortMessage(operation_));
    procedure_.ReleaseWorkFiles();
    ProgOperation = kOperationNone;
    phase_ = Phase::Idle;
    host_.SetBusy(false);
}

void ServiceRun::BackupDone() {
    const bool read = procedure_.outcome().finished();
    std::string placed;
    std::string error;
    bool kept = false;
    if (read) {
        kept = PlaceBackupFile(stagedBackup_, StartDirectory + wantedBackup_, placed, error);
        if (kept) {
            backupFile_ = placed.substr(StartDirectory.size());
            shell_.AppendMonitorLog(" > EEPROM backup in " + backupFile_);
        } else {
            shell_.AppendMonitorLog("E> EEPROM backup not kept: " + error);
        }
    } else {
        std::error_code ignored;
        std::filesystem::remove(stagedBackup_, ignored);
    }
    // Only a backup that ran reads the device.
    if (read ||
        procedure_.lastReportLine() == ProgToolMessageLine(AbortMessage(kOperationEepromRead), ""))
        Journal(kJournalEepromRead, kept ? backupFile_ : wantedBackup_,
                kept ? Sha256OrEmpty(placed) : "", procedure_.lastReportLine());
    if (!kept) {
        shell_.AppendMonitorLog(kBackupRefusedText);
        result_ = {ProcedureOutcome::Kind::Failed, kBackupRefusedText};
        ProgOperation = kOperationNone;
        phase_ = Phase::Idle;
        host_.SetBusy(false);
        return;
    }
    if (abortRequested_) {
        result_ = {ProcedureOutcome::Kind::Aborted, {}};
    } else if (prepareFlashImage_ && !prepareFlashImage_()) {
        result_ = {ProcedureOutcome::Kind::Failed, procedure_.lastErrorLine()};
    }
    if (result_.kind != ProcedureOutcome::Kind::None) {
        ProgOperation = kOperationNone;
        phase_ = Phase::Idle;
        host_.SetBusy(false);
        return;
    }
    StartOperation();
}

void ServiceRun::StartOperation() {
    ProgOperation = operation_;
    procedure_.eepromFilePath = eepromFilePath_;
    procedure_.StartProcedure(manualStart_);
    // Refused at once (no COM port): nothing reached the device.
    if (procedure_.IsIdle()) {
        result_ = procedure_.outcome();
        phase_ = Phase::Idle;
        host_.SetBusy(false);
        return;
    }
    phase_ = Phase::Operation;
}

void ServiceRun::OperationDone() {
    outcome_ = procedure_.lastReportLine();
    result_ = procedure_.outcome();
    const bool finished = result_.finished();
    if (checkVersions_ && finished) {
        // The monitor ends an automatic update at its finish; the version comes first.
        if (AutoStartState == kAutoStartFinished) {
            AutoStartState = kAutoStartRunning;
            heldAutoStartEnd_ = true;
        }
        host_.SetBusy(true);
        query_.Start();
        phase_ = Phase::VersionAfter;
        return;
    }
    Finish();
}

void ServiceRun::Finish() {
    const bool read = operation_ == kOperationEepromRead && result_.finished();
    Journal(JournalOperationName(operation_),
            operation_ == kOperationProgram ? file_ : eepromFilePath_,
            read ? procedure_.readImageSha256() : sha256_, outcome_);
    if (heldAutoStartEnd_) AutoStartState = kAutoStartFinished;
    phase_ = Phase::Idle;
    host_.SetBusy(false);
}

void ServiceRun::Journal(const char* operation, const std::string& file, const std::string& sha256,
                         const std::string& outcome) {
    JournalRecord record;
    record.device = deviceLabel_;
    record.operation = operation;
    record.file = file;
    record.sha256 = sha256;
    record.versionBefore = versionBefore_;
    record.versionAfter = versionAfter_;
    record.outcome = outcome;
    RecordServiceOperation(shell_, std::move(record));
}

void ServiceRun::RequestAbort() {
    if (phase_ == Phase::Idle) return;
    abortRequested_ = true;
    procedure_.RequestAbort();
}

void ServiceRun::Tick() {
    switch (phase_) {
        case Phase::VersionBefore:
            // A request not yet taken by the engine is dropped; one on the line is seen to its end.
            if (abortRequested_ && query_.pending()) {
                AbortBeforeTheUpdate();
                break;
            }
            query_.Tick();
            if (!query_.finished()) break;
            if (abortRequested_) {
                AbortBeforeTheUpdate();
                break;
            }
            if (query_.read()) {
                versionBefore_ = query_.text();
                shell_.AppendMonitorLog("I> Before: " + versionBefore_);
            } else {
                shell_.AppendMonitorLog(kVersionBeforeUnreadText);
            }
            StartBackupOrOperation();
            break;
        case Phase::Backup:
            if (procedure_.IsIdle()) BackupDone();
            break;
        case Phase::Operation:
            if (procedure_.IsIdle()) OperationDone();
            break;
        case Phase::VersionAfter:
            query_.Tick();
            if (!query_.finished()) break;
            if (query_.read()) {
                versionAfter_ = query_.text();
                shell_.AppendMonitorLog("I> Now: " + versionAfter_);
            } else {
                shell_.AppendMonitorLog(kVersionAfterUnreadText);
            }
            Finish();
            break;
        case Phase::Idle:
            break;
    }
}

}  // namespace nvx
