#include "shell/shell.h"

namespace nvx {

int32_t ShowHexConversion = 0;
int32_t ReportHeaderDetails = 0;
int32_t OfferHexFiles = 0;
int32_t EepromWriteEnabled = 0;
int32_t StepWait = kDefaultStepWait;
int32_t SwitchComPort = 0;
std::string PresetProgramFile;
std::string DeviceStem;
std::string StartDirectory;

int32_t BackupEepromFirst = 0;
int32_t CheckVersionsAround = 0;
int32_t ComPortNumber = 1;
int32_t ComPortState = kComPortClosed;
int32_t AutoStartState = kAutoStartOff;

void ResetShellSettings() {
    ShowHexConversion = 0;
    ReportHeaderDetails = 0;
    OfferHexFiles = 0;
    EepromWriteEnabled = 0;
    StepWait = kDefaultStepWait;
    SwitchComPort = 0;
    PresetProgramFile.clear();
    DeviceStem.clear();
    StartDirectory.clear();
    BackupEepromFirst = 0;
    CheckVersionsAround = 0;
    ComPortNumber = 1;
    ComPortState = kComPortClosed;
    AutoStartState = kAutoStartOff;
}

}  // namespace nvx
