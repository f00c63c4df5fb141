#include "progtool/prog_tool.h"

#include "comm/tick.h"
#include "platform/format.h"
#include "platform/user_dialogs.h"
#include "progtool/device_catalogue.h"
#include "progtool/device_description.h"
#include "progtool/program_file.h"

namespace nvx {

namespace {

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
    : shell_(shell), view_(view), service_(timers, shell, *this) {
    service_.SetAfterTick([this] { AutoStart(); });
    enabled_.fill(true);
}

ProgTool::~ProgTool() = default;

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
    service_.Open();
    // The boxes start cleared; only a kept tick needs showing.
    fields_.backupFirst = BackupEepromFirst;
    fields_.checkVersions = CheckVersionsAround;
    if (fields_.backupFirst != 0 || fields_.checkVersions != 0) view_.writeControls(fields_);

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
    service_.KeepPortClaim(busy);
}

void ProgTool::ShowProgrammerProgress(int percent) {
    progress_ = percent;
    view_.setProgrammerProgress(percent);
}

void ProgTool::ShowProgrammerStep(const std::string& step) { view_.setProgrammerStep(step); }

void ProgTool::SelectDeviceRow() {
    view_.readControls(fields_);
    if (service_.SelectDevice(fields_.deviceRow))
        fields_.manualStart = DeviceRowEntry(fields_.deviceRow)->manualStart ? 1 : 0;
    // The list must show the device the commands will work with.
    fields_.deviceRow = service_.acceptedRow();
    view_.writeControls(fields_);
}

void ProgTool::OnDeviceChosen() {
    SelectDeviceRow();
    if (acceptedRow() == ChosenDeviceRow) return;
    ChosenDeviceRow = acceptedRow();
    shell_.SaveSettings();
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
    if (service_.CommandInProgress()) return;
    view_.readControls(fields_);
    programPath_ = fields_.programFilePath;
    if (!HasHexExtension(programPath_)) {
        ProgToolBox(kExtensionText, MessageIcon::Exclamation);
        return;
    }
    if (!Readable(programPath_)) {
        procedure().ReportProgToolMessage(kMsgProgramFileNotFound);
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
        ProgToolBox(Format("Program file damaged, line %u", result.line), MessageIcon::Exclamation);
        break;
    case ConversionStatus::InputUnreadable:
        procedure().ReportProgToolMessage(kMsgProgramFileNotFound);
        break;
    case ConversionStatus::OutputUnwritable:
        ProgToolBox(result.message, MessageIcon::Exclamation);
        break;
    }
}

void ProgTool::OnProgram() {
    if (!service_.MayStartCommand()) return;
    view_.readControls(fields_);
    programPath_ = fields_.programFilePath;
    service_.Program(Options(programPath_));
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
    if (!service_.MayStartCommand()) return;
    view_.readControls(fields_);
    ProgrammingOptions options = Options(fields_.eepromFilePath);
    options.programFiles = {fields_.programFilePath, programPath_};
    service_.ReadEeprom(options);
}

void ProgTool::OnWriteEeprom() {
    if (!service_.MayStartCommand()) return;
    view_.readControls(fields_);
    service_.WriteEeprom(Options(fields_.eepromFilePath));
}

ProgrammingOptions ProgTool::Options(const std::string& file) const {
    ProgrammingOptions options;
    options.file = file;
    options.manualStart = fields_.manualStart != 0;
    options.backupFirst = fields_.backupFirst != 0;
    options.checkVersions = fields_.checkVersions != 0;
    return options;
}

void ProgTool::OnAnalyseErrorMemory() {
    if (service_.CommandInProgress()) return;
    view_.readControls(fields_);
    if (fields_.eepromFilePath.empty()) {
        procedure().ReportProgToolMessage(kMsgEepromFileNotDefined);
        return;
    }
    procedure().eepromFilePath = fields_.eepromFilePath;
    if (!Readable(procedure().eepromFilePath)) {
        procedure().ReportProgToolMessage(kMsgCannotOpenEepromFile);
        return;
    }
    view_.runErrorMemory(procedure().eepromFilePath, fields_.deviceRow);
}

void ProgTool::OnClose() { view_.hideWindow(); }

void ProgTool::AutoStart() {
    // Only "more than a second" matters; stopping there keeps the sum from overflowing.
    if (elapsedMs_ <= 1000) elapsedMs_ += static_cast<int32_t>(g_tickPeriodMs);
    if (elapsedMs_ > 1000 && AutoStartState == kAutoStartShown && shell_.IsComPortOpen()) {
        procedure().ReportProgToolMessage(kMsgAutostartActive);
        SelectDeviceRow();
        OnProgram();
        AutoStartState = kAutoStartRunning;
    }
}

}  // namespace nvx
