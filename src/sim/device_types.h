#pragma once
// The device family as the virtual device plays it: one entry per device row of the programming
// tool's device list, with what the row implies on the device side (chip, bootloader speed and
// target, routing) and the identity the kernel reports (versions, hardware code).

#include <cstdint>
#include <span>
#include <string_view>

namespace nvx::sim {

// The monitor link always runs at this speed; only the bootloaders differ.
constexpr uint32_t kApplicationBaud = 19200;

struct VersionInfo {
    uint8_t platform;       // "P %d" of the hardware reply
    uint8_t variant;        // "V %d"
    uint16_t hardwareCode;  // "H 0x%02X/%02X", high byte first
    uint8_t kernelMajor;
    uint8_t kernelMinor;
    uint8_t appNumber;  // "App# %2d"
    uint8_t appMajor;
    uint8_t appMinor;
    uint8_t buildYear;  // two digits
    uint8_t buildWeek;
};

struct DeviceType {
    int row;                 // row of the device list
    const char* label;       // short description
    const char* stem;        // /D word that selects the row; nullptr when none does
    const char* chip;        // AVR part name, <chip>.xml
    uint32_t deviceCode;     // 259, 264, 275: reached through the unit in front
    const char* deviceKey;
    uint32_t bootBaud;       // the bootloader's line speed
    uint8_t bootTarget;      // the argument BootloadStart must carry
    int frontRow;            // routed: the row of the unit the PC talks to; 0 otherwise
    bool temperatureLog;     // PRXA operating panels keep one at the start of Exworks
    VersionInfo versions;
    uint32_t serialNumber;
};

std::span<const DeviceType> DeviceTypes();
const DeviceType* FindDeviceByStem(std::string_view stem);  // exact, lower case
const DeviceType* FindDeviceByRow(int row);

inline bool IsRoutedCode(uint32_t code) { return code == 259 || code == 264 || code == 275; }

}  // namespace nvx::sim
