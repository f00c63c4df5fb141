#pragma once
// The service record around the Programming Tool's procedures: on request, the application's
// version read before and after a firmware update of a device on the line itself and an EEPROM
// backup before the flash is written; and one journal line for every procedure that ran. With
// neither asked for, the procedure's requests and log lines are its own alone.

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "comm/converter.h"
#include "comm/request_client.h"
#include "platform/program_files.h"
#include "progtool/update_procedure.h"
#include "shell/shell.h"

namespace nvx {

inline constexpr const char* kBackupFolder = kBackupFolderName;
inline constexpr const char* kVersionRoutedText =
    " > Version check not available for routed devices";
inline constexpr const char* kVersionBeforeUnreadText = "E> Version before update not read";
inline constexpr const char* kVersionAfterUnreadText = "E> Version after update not read";
inline constexpr const char* kBackupRefusedText = "E> Update not started: EEPROM backup failed";
constexpr uint32_t kVersionQueryId = 0x0081;
constexpr uint8_t kApplicationVersionSelector = 2;

// "Application V 3.1, Build 14-09" from the four data bytes of a version reply.
std::string ApplicationVersionText(const BusMessage& reply);

// The device column of the journal: the row's label without its list indent; empty for no device.
std::string JournalDeviceLabel(int32_t row);

// "backup/<key>-<yyyymmdd-hhmmss>.hex" in local time.
std::string BackupFileName(const std::string& deviceKey, std::time_t t);

// Puts the finished file staged under wanted, or under wanted with "-2", "-3" ... before its
// extension when that name is taken: a backup is never overwritten. The staged name is gone
// afterwards either way; placed holds the name used.
bool PlaceBackupFile(const std::string& staged, const std::string& wanted, std::string& placed,
                     std::string& error);

// The application's version asked of the kernel over the monitor's COM port, on a request record
// of its own; the engine's retries and time-outs apply.
class ApplicationVersionQuery {
  public:
    ApplicationVersionQuery() = default;
    ApplicationVersionQuery(const ApplicationVersionQuery&) = delete;
    ApplicationVersionQuery& operator=(const ApplicationVersionQuery&) = delete;

    void Start();
    void Tick();
    // Not yet taken by the engine.
    bool pending() const { return request_.Is(kClientPending); }
    bool finished() const { return outcome_ != Outcome::None; }
    bool read() const { return outcome_ == Outcome::Read; }
    const std::string& text() const { return text_; }

  private:
    enum class Outcome { None, Read, Failed };

    int32_t state_ = kClientIdle;
    uint32_t id_ = kVersionQueryId;
    BusMessage message_{};
    int32_t settleCountdownMs_ = 0;
    RequestClient<int32_t> request_{{state_, id_, message_, settleCountdownMs_}};
    Outcome outcome_ = Outcome::None;
    std::string text_;
};

class ServiceRun {
  public:
    ServiceRun(MonitorShell& shell, UpdateProcedure& procedure, UpdateHost& host);

    // In place of the start rule, once the command has set ProgOperation (and, for EEPROM
    // transfers, the procedure's EEPROM file path). file is the file written or read.
    // checkVersions: read the application's version around a firmware update.
    void Start(bool manualStart, bool backupFirst, bool checkVersions, const std::string& file,
               const std::string& deviceLabel);
    // Once per timer tick, after the procedure's step and request.
    void Tick();
    // Makes the programmer's flash image again after a backup's procedure has ended (and taken
    // its work files with it); false when it cannot, having said why.
    void SetFlashImagePreparation(std::function<bool()> prepare) {
        prepareFlashImage_ = std::move(prepare);
    }

    bool IsIdle() const { return phase_ == Phase::Idle; }
    // Ends the run the way that fits where it is: the procedure under way aborts; a version read
    // before the update lets nothing else start.
    void RequestAbort();
    // Once Idle, how the latest run ended: the operation's outcome, or why it never began.
    const ProcedureOutcome& outcome() const { return result_; }
    // A command refused before a run began leaves no outcome of an earlier run behind.
    void ForgetOutcome() { result_ = {}; }
    // The backup the last update made ("backup/..." under the start directory), empty if none.
    const std::string& backupFile() const { return backupFile_; }

  private:
    enum class Phase { Idle, VersionBefore, Backup, Operation, VersionAfter };

    void StartBackupOrOperation();
    void AbortBeforeTheUpdate();
    void StartBackup();
    void BackupDone();
    void StartOperation();
    void OperationDone();
    void Finish();
    void Journal(const char* operation, const std::string& file, const std::string& sha256,
                 const std::string& outcome);

    MonitorShell& shell_;
    UpdateProcedure& procedure_;
    UpdateHost& host_;
    ApplicationVersionQuery query_;
    std::function<bool()> prepareFlashImage_;

    Phase phase_ = Phase::Idle;
    uint32_t operation_ = kOperationNone;
    bool manualStart_ = false;
    bool backupFirst_ = false;
    bool checkVersions_ = false;
    bool heldAutoStartEnd_ = false;
    bool abortRequested_ = false;
    std::string file_;
    std::string eepromFilePath_;
    std::string deviceLabel_;
    std::string sha256_;
    std::string versionBefore_;
    std::string versionAfter_;
    std::string outcome_;
    std::string stagedBackup_;
    std::string wantedBackup_;
    std::string backupFile_;
    ProcedureOutcome result_;
};

}  // namespace nvx
