#pragma once
// The text of "monitor.ini": the ten lines written and the one key read back.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nvx {

// The COM port number of a "COM_PORT <n>" line (key case-sensitive; the number read like the C
// library does, so "12abc" gives 12); nothing for any other line or a key without a number.
std::optional<int32_t> SettingsLineComPort(std::string_view line);
// The same for a "BACKUP_EEPROM <n>", a "CHECK_VERSIONS <n>" and a "DEVICE_ROW <n>" line.
std::optional<int32_t> SettingsLineBackupEeprom(std::string_view line);
std::optional<int32_t> SettingsLineCheckVersions(std::string_view line);
std::optional<int32_t> SettingsLineDeviceRow(std::string_view line);

// The whole file for a port number, CR LF line ends. A ticked "Back up EEPROM first" or "Check
// versions before and after" adds a section of its own, as does a chosen device, so the file stays
// as it always was while both boxes are off and no device has been chosen.
std::string SettingsFileText(int32_t comPortNumber, int32_t backupEepromFirst = 0,
                             int32_t checkVersionsAround = 0, int32_t deviceRow = 0);

}  // namespace nvx
