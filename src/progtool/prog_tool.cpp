#include "progtool/prog_tool.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "comm/tick.h"
#include "eeprom/eeprom_image.h"
#include "platform/atomic_file.h"
#include "platform/format.h"
#include "platform/program_files.h"
#include "platform/work_directory.h"
#include "platform/user_dialogs.h"
#include "progtool/device_catalogue.h"
#include "progtool/device_description.h"
#include "progtool/program_file.h"

namespace nvx {

namespace {

// The commands only ask whether a file can be opened for reading; a directory cannot. The open
// never waits (a FIFO without a writer).
bool Readable(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// There, but a directory, a FIFO or a device: nothing a whole image can be read from.
bool ExistsButIsNoRegularFile(const std::string& path) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    return !ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
}

void Box(const std::string& text, MessageIcon icon) {
    MessageBox().show(text, kProgToolTitle, icon, MessageButtons::Ok);
}

// The largest EEPROM of the catalogue's parts: the time limit of a part whose description
// cannot be read (the programmer then fails on its own).
constexpr uint32_t kLargestEepromBytes = 4096;

constexpr ProgToolControl kBusyControls[] = {
    ProgToolControl::ProgramButton,    ProgToolControl::ProgramFileButton,
    ProgToolControl::ConvertButton,    ProgToolControl::EepromFileButton,
    ProgToolControl::ReadEepromButton, ProgToolControl::WriteEepromButton,
    ProgToolControl::AnalyseButton,    ProgToolControl::CloseButton,
};

constexpr ProgToolControl kProgramControls[] = {
    ProgToolControl::ProgramPathField,
    ProgToolControl::BackupFirst,
    ProgToolControl::CheckVersions,
    ProgToolControl::ProgramButton,
    ProgToolControl::ProgramFileButton,
    ProgToolControl::ProgramGroup,
};

constexpr ProgToolControl kEepromControls[] = {
    ProgToolControl::EepromPathField,  ProgToolControl::EepromFileButton,
    ProgToolControl::ReadEepromButton, ProgToolControl::WriteEepromButton,
    ProgToolControl::AnalyseButton,    ProgToolControl::EepromGroup,
};

constexpr ProgToolControl kCommonControls[] = {
    ProgToolControl::DeviceSettingsGroup,
    ProgToolControl::DeviceList,
    ProgToolControl::ManualStart,
    ProgToolControl::CloseButton,
};

}  // namespace

ProgTool::ProgTool(TimerService& timers, MonitorShell& shell, ProgToolView& view)
    : timers_(timers), shell_(shell), view_(view), procedure_(shell, *this),
      service_(shell, procedure_, *this) {
    // The backup's procedure ends by removing the work files; the flash image is made again.
    service_.SetFlashImagePreparation([this] { return PrepareFlashImage(); });
    enabled_.fill(true);
}

ProgTool::~ProgTool() {
    if (timerId_ != 0) timers_.stop(timerId_);
}

void ProgTool::SetVisible(ProgToolControl c, bool visible) {
    visible_[static_cast<int>(c)] = visible;
    view_.setControlVisible(c, visible);
}

void ProgTool::SetEnabled(ProgToolControl c, bool enabled) {
    enabled_[static_cast<int>(c)] = enabled;
    view_.setControlEnabled(c, enabled);
}

void ProgTool::OnInitDialog() {
    // Until the first buttons are disabled the enable rule of an idle window holds.
    SetBusy(false);
    if (timerId_ == 0) timerId_ = timers_.start(g_tickPeriodMs, [this] { OnTimer(); });
    procedure_.Reset();
    acceptedRow_ = 0;
    // The boxes start cleared; only a kept tick needs showing.
    fields_.backupFirst = BackupEepromFirst;
    fields_.checkVersions = CheckVersionsAround;
    if (fields_.backupFirst != 0 || fields_.checkVersions != 0) view_.writeControls(fields_);

    if (!Readable(StartDirectory + kProgrammerFileName))
        Box(kNoProgrammerText, MessageIcon::Question);

    if (!PresetProgramFile.empty()) {
        fields_.programFilePath = PresetProgramFile;
        programPath_ = PresetProgramFile;
        view_.writeControls(fields_);
    }
    if (DeviceStem.empty()) {
        // The device kept from the last run, unless its description has gone since.
        const DeviceEntry* kept = DeviceRowEntry(ChosenDeviceRow);
        if (!kept || !Readable(StartDirectory + DeviceDescriptionFileName(kept->chip))) return;
        fields_.deviceRow = ChosenDeviceRow;
    } else {
        fields_.deviceRow = DeviceRowForStem(DeviceStem);
    }
    view_.writeControls(fields_);
    SelectDeviceRow();
}

void ProgTool::ShowSoftwareUpdate() {
    layout_ = ProgToolLayout::SoftwareUpdate;
    for (ProgToolControl c : kEepromControls) SetVisible(c, false);
    for (ProgToolControl c : kProgramControls) SetVisible(c, true);
    SetVisible(ProgToolControl::ConvertButton, ShowHexConversion != 0);
    for (ProgToolControl c : kCommonControls) SetVisible(c, true);
    view_.showWithoutActivating();
}

void ProgTool::ShowEepromTools() {
    layout_ = ProgToolLayout::EepromTools;
    for (ProgToolControl c : kProgramControls) SetVisible(c, false);
    SetVisible(ProgToolControl::ConvertButton, false);
    for (ProgToolControl c : kEepromControls) SetVisible(c, true);
    SetEnabled(ProgToolControl::WriteEepromButton, EepromWriteEnabled != 0);
    for (ProgToolControl c : kCommonControls) SetVisible(c, true);
    view_.showWithoutActivating();
}

void ProgTool::SetBusy(bool busy) {
    for (ProgToolControl c : kBusyControls) SetEnabled(c, !busy);
    if (!busy) SetEnabled(ProgToolControl::WriteEepromButton, EepromWriteEnabled != 0);
    UpdatePortClaim(busy);
}

void ProgTool::UpdatePortClaim(bool busy) {
    // Between a backup and the update the procedure is idle for a moment: the claim holds on.
    const bool claimed = busy || !IsIdle();
    if (claimed == portClaimed_) return;
    portClaimed_ = claimed;
    shell_.ClaimComPort(claimed);
}

void ProgTool::ShowProgrammerProgress(int percent) {
    progress_ = percent;
    view_.setProgrammerProgress(percent);
}

void ProgTool::ShowProgrammerStep(const std::string& step) {
    if (step == step_) return;
    step_ = step;
    view_.setProgrammerStep(step);
}

bool ProgTool::CheckDescriptionFile(const char* chip) {
    if (Readable(StartDirectory + DeviceDescriptionFileName(chip))) return true;
    Box(kNoDescriptionText, MessageIcon::Question);
    return false;
}

void ProgTool::SelectDeviceRow() {
    const int32_t before = acceptedRow_;
    view_.readControls(fields_);
    const DeviceEntry* entry = DeviceRowEntry(fields_.deviceRow);
    if (entry == nullptr) {
        g_deviceSelection.ProgrammerDelayFlag = false;
        g_deviceSelection.deviceCode = 0;
        fields_.deviceRow = kNoDeviceRow;
        acceptedRow_ = kNoDeviceRow;
    } else if (CheckDescriptionFile(entry->chip)) {
        AcceptDeviceRow(*entry, g_deviceSelection);
        fields_.manualStart = entry->manualStart ? 1 : 0;
        acceptedRow_ = fields_.deviceRow;
    } else {
        // The list must show the device the commands will work with.
        fields_.deviceRow = acceptedRow_;
    }
    view_.writeControls(fields_);
    // The bar tells of work on the device chosen before: another device starts it afresh.
    if (acceptedRow_ != before) ShowProgrammerProgress(0);
}

void ProgTool::OnDeviceChosen() {
    SelectDeviceRow();
    if (acceptedRow_ == ChosenDeviceRow) return;
    ChosenDeviceRow = acceptedRow_;
    shell_.SaveSettings();
}

bool ProgTool::CommandInProgress() {
    if (IsIdle()) return false;
    procedure_.ReportProgToolMessage(kMsgCommandInProgress);
    return true;
}

void ProgTool::OnProgramFile() {
    view_.readControls(fields_);
    std::string chosen;
    if (!view_.askOpenFileName(kProgramFileTitle, fields_.programFilePath,
                               OfferHexFiles != 0 ? kProgramFilterWithHex : kProgramFilter,
                               FileChoice::Existing, chosen))
        return;
    fields_.programFilePath = chosen;
    programPath_ = chosen;
    view_.writeControls(fields_);
}

void ProgTool::OnConvertHexToNpf() {
    if (CommandInProgress()) return;
    view_.readControls(fields_);
    programPath_ = fields_.programFilePath;
    if (!HasHexExtension(programPath_)) {
        Box(kExtensionText, MessageIcon::Exclamation);
        return;
    }
    if (!Readable(programPath_)) {
        procedure_.ReportProgToolMessage(kMsgProgramFileNotFound);
        return;
    }
    SetBusy(true);
    const ConversionResult result =
        ConvertProgramFile(programPath_, NpfOutputPath(programPath_), kTransformScramble);
    SetBusy(false);
    switch (result.status) {
    case ConversionStatus::Ok:
        break;
    case ConversionStatus::Damaged:
        Box(Format("Program file damaged, line %u", result.line), MessageIcon::Exclamation);
        break;
    case ConversionStatus::InputUnreadable:
        procedure_.ReportProgToolMessage(kMsgProgramFileNotFound);
        break;
    case ConversionStatus::OutputUnwritable:
        Box(result.message, MessageIcon::Exclamation);
        break;
    }
}

bool ProgTool::FirmwareFitsDevice(const ConversionResult& read, const std::string& plainHex) {
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

uint32_t ProgTool::EepromBytes() const {
    const DeviceEntry* entry = DeviceRowEntry(acceptedRow_);
    FlashLayout layout;
    std::string error;
    if (entry != nullptr &&
        ReadFlashLayout(StartDirectory + DeviceDescriptionFileName(entry->chip), layout, error))
        return layout.eepromSize;
    return kLargestEepromBytes;
}

bool ProgTool::EepromImageFitsDevice(const std::string& image) {
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

void ProgTool::OnProgram() {
    if (CommandInProgress()) return;
    service_.ForgetOutcome();
    if (g_deviceSelection.deviceCode == 0) {
        procedure_.ReportProgToolMessage(kMsgNoDeviceSet);
        return;
    }
    view_.readControls(fields_);
    programPath_ = fields_.programFilePath;
    if (!FileNameMatchesDeviceKey(programPath_, g_deviceSelection.deviceKey)) {
        Box(kNameMismatchText + std::string("\r\n") +
                Format(kNameExpectedText, g_deviceSelection.deviceKey.c_str()),
            MessageIcon::None);
        return;
    }
    if (ExistsButIsNoRegularFile(programPath_)) {
        procedure_.ReportProgToolMessage(kMsgProgramFileNotRegular);
        return;
    }
    if (!Readable(programPath_)) {
        procedure_.ReportProgToolMessage(kMsgProgramFileNotFound);
        return;
    }
    if (!PrepareFlashImage()) return;
    ProgOperation = kOperationProgram;
    StartServiceRun(programPath_);
}

bool ProgTool::PrepareFlashImage() {
    if (!procedure_.ClaimWorkFiles(programPath_)) return false;
    std::string firmware;
    const ConversionResult result =
        ReadProgramFile(programPath_, ProgramFileMode(programPath_), firmware);
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
        Box(error, MessageIcon::Exclamation);
        return false;
    }
    return true;
}

void ProgTool::OnBackupFirst() {
    view_.readControls(fields_);
    BackupEepromFirst = fields_.backupFirst != 0 ? 1 : 0;
    shell_.SaveSettings();
}

void ProgTool::OnCheckVersions() {
    view_.readControls(fields_);
    CheckVersionsAround = fields_.checkVersions != 0 ? 1 : 0;
    shell_.SaveSettings();
}

void ProgTool::OnEepromFile() {
    view_.readControls(fields_);
    std::string chosen;
    if (!view_.askOpenFileName(kEepromFileTitle, fields_.eepromFilePath, kEepromFilter,
                               FileChoice::ExistingOrNew, chosen))
        return;
    if (chosen.find('.') == std::string::npos) chosen += ".hex";
    fields_.eepromFilePath = chosen;
    view_.writeControls(fields_);
}

void ProgTool::OnReadEeprom() {
    if (CommandInProgress()) return;
    service_.ForgetOutcome();
    if (g_deviceSelection.deviceCode == 0) {
        procedure_.ReportProgToolMessage(kMsgNoDeviceSet);
        return;
    }
    view_.readControls(fields_);
    if (fields_.eepromFilePath.empty()) {
        procedure_.ReportProgToolMessage(kMsgEepromFileNotDefined);
        return;
    }
    procedure_.eepromFilePath = fields_.eepromFilePath;
    // Found out before the device is touched rather than after the whole read.
    if (std::string error; !CanWriteFile(procedure_.eepromFilePath, &error)) {
        procedure_.detail = error;
        procedure_.ReportProgToolMessage(kMsgEepromFileUnwritable);
        return;
    }
    if (!procedure_.ClaimWorkFiles(procedure_.eepromFilePath)) return;
    if (!MayReplaceWithImage(procedure_.eepromFilePath)) {
        procedure_.ReleaseWorkFiles();
        return;
    }
    procedure_.transferBytes = EepromBytes();
    ProgOperation = kOperationEepromRead;
    StartServiceRun(procedure_.eepromFilePath);
}

bool ProgTool::MayReplaceWithImage(const std::string& path) {
    std::string kind = ProgramFileKind(path, StartDirectory, procedure_.WorkDirectory());
    for (const std::string& firmware : {fields_.programFilePath, programPath_})
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

void ProgTool::OnWriteEeprom() {
    if (CommandInProgress()) return;
    service_.ForgetOutcome();
    if (g_deviceSelection.deviceCode == 0) {
        procedure_.ReportProgToolMessage(kMsgNoDeviceSet);
        return;
    }
    view_.readControls(fields_);
    if (fields_.eepromFilePath.empty()) {
        procedure_.ReportProgToolMessage(kMsgEepromFileNotDefined);
        return;
    }
    procedure_.eepromFilePath = fields_.eepromFilePath;
    if (ExistsButIsNoRegularFile(procedure_.eepromFilePath)) {
        procedure_.detail = procedure_.eepromFilePath + kNotRegularFileText;
        procedure_.ReportProgToolMessage(kMsgEepromFileUnwritable);
        return;
    }
    if (!Readable(procedure_.eepromFilePath)) {
        procedure_.ReportProgToolMessage(kMsgCannotOpenEepromFile);
        return;
    }
    if (MessageBox().show(kEepromWriteQuestion, kProgToolTitle, MessageIcon::Question,
                          MessageButtons::OkCancel) != MessageAnswer::Ok)
        return;
    if (!procedure_.ClaimWorkFiles(procedure_.eepromFilePath)) return;
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
        return;
    }
    ready = ready && WriteFileAtomically(procedure_.WorkFilePath(kEepromTempFileName), image);
    if (!ready) {
        procedure_.ReportProgToolMessage(kMsgCannotOpenEepromFile);
        procedure_.ReleaseWorkFiles();
        ProgOperation = kOperationNone;
        return;
    }
    StartServiceRun(procedure_.eepromFilePath);
}

void ProgTool::StartServiceRun(const std::string& file) {
    service_.Start(fields_.manualStart != 0, fields_.backupFirst != 0, fields_.checkVersions != 0,
                   file, JournalDeviceLabel(acceptedRow_));
}

void ProgTool::OnAnalyseErrorMemory() {
    if (CommandInProgress()) return;
    view_.readControls(fields_);
    if (fields_.eepromFilePath.empty()) {
        procedure_.ReportProgToolMessage(kMsgEepromFileNotDefined);
        return;
    }
    procedure_.eepromFilePath = fields_.eepromFilePath;
    if (!Readable(procedure_.eepromFilePath)) {
        procedure_.ReportProgToolMessage(kMsgCannotOpenEepromFile);
        return;
    }
    view_.runErrorMemory(procedure_.eepromFilePath, fields_.deviceRow);
}

void ProgTool::OnClose() { view_.hideWindow(); }

void ProgTool::OnTimer() {
    // A message box opened by a step lets further ticks in; they must not run a step inside it.
    if (timerGuard_) return;
    timerGuard_ = true;
    procedure_.CountDown();
    procedure_.RunUpdateStep();
    ShowProgrammerStep(UpdateStepName(UpdateStep, ProgOperation));
    procedure_.UpdateRequestTick();
    service_.Tick();
    // Only "more than a second" matters; stopping there keeps the sum from overflowing.
    if (elapsedMs_ <= 1000) elapsedMs_ += static_cast<int32_t>(g_tickPeriodMs);
    if (elapsedMs_ > 1000 && AutoStartState == kAutoStartShown && shell_.IsComPortOpen()) {
        procedure_.ReportProgToolMessage(kMsgAutostartActive);
        SelectDeviceRow();
        OnProgram();
        AutoStartState = kAutoStartRunning;
    }
    UpdatePortClaim(false);
    timerGuard_ = false;
}

}  // namespace nvx
