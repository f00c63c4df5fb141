#pragma once
// The fixed family of devices the Programming Tool serves: the 35 rows of its device list, what
// accepting a device row sets, and the /D words that preselect a row.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace nvx {

enum class DeviceRowKind { None, Separator, Heading, Device };

struct DeviceEntry {
    const char* label;
    DeviceRowKind kind;
    // The fields below are set on device rows only.
    const char* chip;  // AVR part name
    uint32_t deviceCode;
    const char* deviceKey;  // program file names begin with it
    int32_t bootBaud;
    uint8_t bootTarget;  // argument of the BootloadStart request
    bool ProgrammerDelayFlag;
    bool manualStart;  // default of "Manual Update Start Mode"
};

constexpr int32_t kDeviceRowCount = 35;
constexpr int32_t kNoDeviceRow = 0;

// The rows in list order.
const std::array<DeviceEntry, kDeviceRowCount>& DeviceCatalogue();

// The entry of a device row, or nullptr for any other index (headings, separators, out of range).
const DeviceEntry* DeviceRowEntry(int32_t row);

struct DeviceStemRow {
    const char* stem;
    int32_t row;
};
const std::array<DeviceStemRow, 13>& DeviceStems();

// The row a /D word preselects (exact match against the lower-case stems), 0 when none.
int32_t DeviceRowForStem(std::string_view stem);

// Codes of devices reached through another unit: the update runs inside a TUV tunnel.
bool IsRoutedDevice(uint32_t deviceCode);

// The programmer's part argument, "-d" + chip.
std::string ProgrammerDeviceArgument(std::string_view chip);
// The part description file that must exist in the start directory, chip + ".xml".
std::string DeviceDescriptionFileName(std::string_view chip);
// The programmer's delay option, "-D500" or "-D0".
const char* ProgrammerDelayOption(bool ProgrammerDelayFlag);

// The accepted device selection, held once for the whole program.
struct DeviceSelection {
    uint32_t deviceCode = 0;  // 0: no device selected
    std::string deviceKey;
    int32_t bootBaud = 0;
    uint8_t bootTarget = 0;
    bool ProgrammerDelayFlag = false;
    std::string programmerDevice;
};

// What accepting a device row sets once its description file has been found. The "Manual Update
// Start Mode" default is entry.manualStart.
void AcceptDeviceRow(const DeviceEntry& entry, DeviceSelection& selection);

}  // namespace nvx
