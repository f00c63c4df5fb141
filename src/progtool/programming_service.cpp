#include "progtool/programming_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "comm/tick.h"
#include "eeprom/eeprom_image.h"
#include "platform/atomic_file.h"
#include "platform/format.h"
#include "platform/program_files.h"
#include "platform/work_directory.h"
#include "progtool/device_catalogue.h"
#include "progtool/device_description.h"
#include "progtool/program_file.h"

namespace nvx {

namespace {

// There, but a directory, a FIFO or a device: nothing a whole image can be read from.
bool ExistsButIsNoRegularFile(const std::string& path) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    return !ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
}

// The largest EEPROM of the catalogue's parts: the time limit of a part whose description
// cannot be read (the programmer then fails on its own).
constexpr uint32_t kLargestEepromBytes = 4096;

}  // namespace

bool Readable(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

void ProgToolBox(const std::string& text, MessageIcon icon) {
    MessageBox().show(text, kProgToolTitle, icon, MessageButtons::Ok);
}

ProgrammingService::ProgrammingService(TimerService& timers, MonitorShell& shell,
                                       ProgrammingObserver& observer)
    : timers_(timers), shell_(shell), observer_(observer), procedure_(shell, *this),
      service_(shell, procedure_, *this) {
    // The backup's procedure ends by removing the work files; the flash image is made again.
    service_.SetFlashImagePreparation([this] { return PrepareFlashImage(); });
}

ProgrammingService::~ProgrammingService() {
    if (timerId_ != 0) timers_.stop(timerId_);
}

void ProgrammingService::Open() {
    if (timerId_ == 0) timerId_ = timers_.start(g_tickPeriodMs, [this] { OnTimer(); });
    procedure_.Reset();
    acceptedRow_ = 0;
    if (!Readable(StartDirectory + kProgrammerFileName))
        ProgToolBox(kNoProgrammerText, MessageIcon::Question);
}

void ProgrammingService::SetBusy(bool busy) {
    observer_.SetBusy(busy);
    KeepPortClaim(busy);
}

void ProgrammingService::ShowProgrammerProgress(int percent) {
    observer_.ShowProgrammerProgress(percent);
}

void ProgrammingService::KeepPortClaim(bool busy) {
    // Between a backup and the update the procedure is idle for a moment: the claim holds on.
    const bool claimed = busy || !IsIdle();
    if (claimed == portClaimed_) return;
    portClaimed_ = claimed;
    shell_.ClaimComPort(claimed);
}

bool ProgrammingService::CheckDescriptionFile(const char* chip) {
    if (Readable(StartDirectory + DeviceDescriptionFileName(chip))) return true;
    ProgToolBox(kNoDescriptionText, MessageIcon::Question);
    return false;
}

bool ProgrammingService::SelectDevice(int32_t row) {
    const int32_t before = acceptedRow_;
    const DeviceEntry* entry = DeviceRowEntry(row);
    bool accepted = false;
    if (entry == nullptr) {
        g_deviceSelection.ProgrammerDelayFlag = false;
        g_deviceSelection.deviceCode = 0;
        acceptedRow_ = kNoDeviceRow;
    } else if (CheckDescriptionFile(entry->chip)) {
        AcceptDeviceRow(*entry, g_deviceSelection);
        acceptedRow_ = row;
        accepted = true;
    }
    // The bar tells of work on the device chosen before: another device starts it afresh.
    if (acceptedRow_ != before) observer_.ShowProgrammerProgress(0);
    return accepted;
}

bool ProgrammingService::CommandInProgress() {
    if (IsIdle()) return false;
    procedure_.ReportProgToolMessage(kMsgCommandInProgress);
    return true;
}

bool ProgrammingService::MayStartCommand() {
    if (CommandInProgress()) return false;
    service_.ForgetOutcome();
    if (g_deviceSelection.deviceCode == 0) {
        procedure_.ReportProgToolMessage(kMsgNoDeviceSet);
        return false;
    }
    return true;
}

bool ProgrammingService::FirmwareFitsDevice(const ConversionResult& read,
                                            const std::string& plainHex) {
    // The programmer erases the chip before it writes: a file that cannot be written whole
    // must be refused before the device is touched, or the device is left without firmware.
    if (read.unknownTypeLine != 0) {
        procedure_.detail = Format("%02X", read.unknownType);
        procedure_.damagedLine = read.unknownTypeLine;
        procedure_.ReportProgToolMessage(kMsgProgramFileRecordType);
        return false;
    }
    const ImageSpan span = ProgramImageSpan(plainHex);
    if (!span.hasData) {
        procedure_.ReportProgToolMessage(kMsgProgramFileEmpty);
        return false;
    }
    // A file cut short would be flashed in part and reported finished.
    if (!read.endRecordSeen) {
        procedure_.ReportProgToolMessage(kMsgProgramFileIncomplete);
        return false;
    }
    const DeviceEntry* entry = DeviceRowEntry(acceptedRow_);
    FlashLayout layout;
    std::string error;
    if (entry == nullptr ||
        !ReadFlashLayout(StartDirectory + DeviceDescriptionFileName(entry->chip), layout, error)) {
        // The description belongs to the programmer, which only needs it to exist: without the
        // sizes the check is left to the programmer, and the log says so.
        procedure_.detail = entry == nullptr ? "of no device row" : error;
        procedure_.ReportProgToolMessage(kMsgPartDescriptionUnreadable);
        procedure_.transferBytes = static_cast<uint32_t>(span.end);
        return true;
    }
    if (span.end <= layout.ApplicationEnd()) {
        procedure_.transferBytes = static_cast<uint32_t>(span.end);
        return true;
    }
    procedure_.detail =
        Format("%s: ends at 0x%llX, %s ends at 0x%X", layout.partName.c_str(),
               static_cast<unsigned long long>(span.end - 1),
               layout.bootSize == 0 ? "flash" : "application area", layout.ApplicationEnd() - 1);
    procedure_.ReportProgToolMessage(kMsgProgramFileTooLarge);
    return false;
}

uint32_t ProgrammingService::EepromBytes() const {
    const DeviceEntry* entry = DeviceRowEntry(acceptedRow_);
    FlashLayout layout;
    std::string error;
    if (entry != nullptr &&
        ReadFlashLayout(StartDirectory + DeviceDescriptionFileName(entry->chip), layout, error))
        return layout.eepromSize;
    return kLargestEepromBytes;
}

bool ProgrammingService::EepromImageFitsDevice(const std::string& image) {
    std::string plain;
    const ConversionResult read = ConvertProgramText(image, kTransformCopy, plain);
    const ImageSpan span = ProgramImageSpan(plain);
    const DeviceEntry* entry = DeviceRowEntry(acceptedRow_);
    FlashLayout layout;
    std::string error;
    if (!read.ok())
        procedure_.detail = Format("line %u: %s", read.line, RecordFaultText(read.fault));
    else if (read.unknownTypeLine != 0)
        procedure_.detail = Format("record of unknown type %02X, line %u", read.unknownType,
                                   read.unknownTypeLine);
    else if (!span.hasData)
        procedure_.detail = "holds no data";
    else if (!read.endRecordSeen)
        procedure_.detail = "incomplete: no end-of-file record";
    else if (entry == nullptr ||
             !ReadFlashLayout(StartDirectory + DeviceDescriptionFileName(entry->chip), layout,
                              error)) {
        procedure_.detail = entry == nullptr ? "no device row" : error;
        procedure_.ReportProgToolMessage(kMsgPartDescriptionUnreadable);
        return false;
    } else if (span.end > layout.eepromSize)
        procedure_.detail = Format("does not fit %s: ends at 0x%llX, EEPROM ends at 0x%X",
                                   layout.partName.c_str(),
                                   static_cast<unsigned long long>(span.end - 1),
                                   layout.eepromSize - 1);
    else
        return true;
    procedure_.ReportProgToolMessage(kMsgEepromFileRefused);
    return false;
}

bool ProgrammingService::Program(const ProgrammingOptions& options) {
    if (!MayStartCommand()) return false;
    programFile_ = options.file;
    if (!FileNameMatchesDeviceKey(programFile_, g_deviceSelection.deviceKey)) {
        ProgToolBox(kNameMismatchText + std::string("\r\n") +
                        Format(kNameExpectedText, g_deviceSelection.deviceKey.c_str()),
                    MessageIcon::None);
        return false;
    }
    if (ExistsButIsNoRegularFile(programFile_)) {
        procedure_.ReportProgToolMessage(kMsgProgramFileNotRegular);
        return false;
    }
    if (!Readable(programFile_)) {
        procedure_.ReportProgToolMessage(kMsgProgramFileNotFound);
        return false;
    }
    procedure_.SetWorkDirectory(options.workDirectory);
    if (!PrepareFlashImage()) return false;
    ProgOperation = kOperationProgram;
    StartServiceRun(options, programFile_);
    return true;
}

bool ProgrammingService::PrepareFlashImage() {
    if (!procedure_.ClaimWorkFiles(programFile_)) return false;
    std::string firmware;
    const ConversionResult result =
        ReadProgramFile(programFile_, ProgramFileMode(programFile_), firmware);
    switch (result.status) {
    case ConversionStatus::Ok:
        break;
    case ConversionStatus::Damaged:
        procedure_.ReleaseWorkFiles();
        procedure_.damagedLine = result.line;
        procedure_.ReportProgToolMessage(kMsgProgramFileDamaged);
        return false;
    case ConversionStatus::InputUnreadable:
    case ConversionStatus::OutputUnwritable:
        procedure_.ReleaseWorkFiles();
        procedure_.ReportProgToolMessage(kMsgProgramFileNotFound);
        return false;
    }
    std::string error;
    if (!FirmwareFitsDevice(result, firmware)) {
        procedure_.ReleaseWorkFiles();
        return false;
    }
    if (!WriteFileAtomically(procedure_.WorkFilePath(kFlashTempFileName), firmware, &error)) {
        procedure_.ReleaseWorkFiles();
        ProgToolBox(error, MessageIcon::Exclamation);
        return false;
    }
    return true;
}

bool ProgrammingService::ReadEeprom(const ProgrammingOptions& options) {
    if (!MayStartCommand()) return false;
    if (options.file.empty()) {
        procedure_.ReportProgToolMessage(kMsgEepromFileNotDefined);
        return false;
    }
    procedure_.eepromFilePath = options.file;
    // Found out before the device is touched rather than after the whole read.
    if (std::string error; !CanWriteFile(procedure_.eepromFilePath, &error)) {
        procedure_.detail = error;
        procedure_.ReportProgToolMessage(kMsgEepromFileUnwritable);
        return false;
    }
    procedure_.SetWorkDirectory(options.workDirectory);
    if (!procedure_.ClaimWorkFiles(procedure_.eepromFilePath)) return false;
    if (!MayReplaceWithImage(procedure_.eepromFilePath, options.programFiles)) {
        procedure_.ReleaseWorkFiles();
        return false;
    }
    procedure_.transferBytes = EepromBytes();
    ProgOperation = kOperationEepromRead;
    StartServiceRun(options, procedure_.eepromFilePath);
    return true;
}

bool ProgrammingService::MayReplaceWithImage(const std::string& path,
                                             const std::vector<std::string>& programFiles) {
    std::string kind = ProgramFileKind(path, StartDirectory, procedure_.WorkDirectory());
    for (const std::string& firmware : programFiles)
        if (kind.empty() && !firmware.empty() && SameFilePath(path, firmware))
            kind = "the program file";
    if (!kind.empty()) {
        procedure_.detail = path + ": " + kind + ", never replaced";
        procedure_.ReportProgToolMessage(kMsgEepromFileUnwritable);
        return false;
    }
    std::error_code ec;
    return !std::filesystem::exists(path, ec) ||
           MessageBox().show(ReplaceQuestion(path), kProgToolTitle, MessageIcon::Exclamation,
                             MessageButtons::YesNo) == MessageAnswer::Yes;
}

bool ProgrammingService::WriteEeprom(const ProgrammingOptions& options) {
    if (!MayStartCommand()) return false;
    if (options.file.empty()) {
        procedure_.ReportProgToolMessage(kMsgEepromFileNotDefined);
        return false;
    }
    procedure_.eepromFilePath = options.file;
    if (ExistsButIsNoRegularFile(procedure_.eepromFilePath)) {
        procedure_.detail = procedure_.eepromFilePath + kNotRegularFileText;
        procedure_.ReportProgToolMessage(kMsgEepromFileUnwritable);
        return false;
    }
    if (!Readable(procedure_.eepromFilePath)) {
        procedure_.ReportProgToolMessage(kMsgCannotOpenEepromFile);
        return false;
    }
    if (MessageBox().show(kEepromWriteQuestion, kProgToolTitle, MessageIcon::Question,
                          MessageButtons::OkCancel) != MessageAnswer::Ok)
        return false;
    procedure_.SetWorkDirectory(options.workDirectory);
    if (!procedure_.ClaimWorkFiles(procedure_.eepromFilePath)) return false;
    ProgOperation = kOperationEepromWrite;
    procedure_.transferBytes = EepromBytes();
    // The programmer must never write an image other than the one chosen, so a copy that does
    // not succeed stops here.
    std::string image;
    bool ready = ReadWholeFile(procedure_.eepromFilePath, image, nullptr,
                               EepromImage::kMaxFileBytes);
    if (ready && !EepromImageFitsDevice(image)) {
        procedure_.ReleaseWorkFiles();
        ProgOperation = kOperationNone;
        return false;
    }
    ready = ready && WriteFileAtomically(procedure_.WorkFilePath(kEepromTempFileName), image);
    if (!ready) {
        procedure_.ReportProgToolMessage(kMsgCannotOpenEepromFile);
        procedure_.ReleaseWorkFiles();
        ProgOperation = kOperationNone;
        return false;
    }
    StartServiceRun(options, procedure_.eepromFilePath);
    return true;
}

void ProgrammingService::StartServiceRun(const ProgrammingOptions& options,
                                         const std::string& file) {
    service_.Start(options.manualStart, options.backupFirst, options.checkVersions, file,
                   JournalDeviceLabel(acceptedRow_));
}

void ProgrammingService::OnTimer() {
    // A message box opened by a step lets further ticks in; they must not run a step inside it.
    if (timerGuard_) return;
    timerGuard_ = true;
    procedure_.CountDown();
    procedure_.RunUpdateStep();
    if (const std::string step = UpdateStepName(UpdateStep, ProgOperation); step != step_) {
        step_ = step;
        observer_.ShowProgrammerStep(step);
    }
    procedure_.UpdateRequestTick();
    service_.Tick();
    if (afterTick_) afterTick_();
    KeepPortClaim(false);
    timerGuard_ = false;
}

}  // namespace nvx
