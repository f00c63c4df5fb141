#include "progtool/device_catalogue.h"

namespace nvx {
namespace {

constexpr const char* kSeparator =
    "----------------------------------------------------------------------------------------------";
static_assert(std::char_traits<char>::length(kSeparator) == 94);

constexpr DeviceEntry None(const char* label) {
    return {label, DeviceRowKind::None, "", 0, "", 0, 0, false, false};
}
constexpr DeviceEntry Separator() {
    return {kSeparator, DeviceRowKind::Separator, "", 0, "", 0, 0, false, false};
}
constexpr DeviceEntry Heading(const char* label) {
    return {label, DeviceRowKind::Heading, "", 0, "", 0, 0, false, false};
}
constexpr DeviceEntry Device(const char* label, const char* chip, uint32_t code, const char* key,
                             int32_t baud, uint8_t target, bool delay, bool manual) {
    return {label, DeviceRowKind::Device, chip, code, key, baud, target, delay, manual};
}

constexpr std::array<DeviceEntry, kDeviceRowCount> kCatalogue = {{
    None("< no Device selected >"),
    Separator(),
    Heading("Solvane - Operating Panel (Operator):"),
    Device("> green Display", "atmega64", 4, "SolBed", 38400, 0, false, false),
    Device("> blue Display, 64K Memory, Version 2009", "atmega644p", 4, "SolGrb", 38400, 0, false, false),
    Device("> blue Display, 128K Memory, Version 2010 or newer", "atmega1284p", 4, "SolGrb", 38400, 0, false,
           false),
    Device("> orange Display", "atmega644p", 10, "SolHyb", 38400, 0, false, false),
    Device("> Touch-Display", "atxmega128d3", 4, "SolTbed", 38400, 0, false, false),
    Separator(),
    Heading("Solvane - Controller"),
    Device("> Controller via Operating Panel", "atmega64", 259, "SolReg", 19200, 25, true, false),
    Device("> Controller via Front Panel", "atmega64", 515, "SolReg", 38400, 0, false, false),
    Device("> 7330 / 7331 / 7332", "atmega644p", 3, "SolReg", 38400, 0, false, false),
    Device("> Emergency Update (direct connection)", "atmega64", 3, "SolReg", 38400, 0, false, true),
    Separator(),
    Heading("Room Sensor:"),
    Device("> 4417", "atmega168p", 13, "SolMinibed", 38400, 7, false, false),
    Device("> 6120 / 6121 (orange Display)", "atmega324p", 13, "SolMinibed", 38400, 7, false, false),
    Separator(),
    Heading("Ice/Snow Detector:"),
    Device("> 5362, until 2012", "atmega32", 5, "5362", 38400, 0, false, true),
    Device("> 5362 64K, since 2012", "atmega644p", 5, "5362", 38400, 0, false, true),
    Separator(),
    Heading("PRXA:"),
    Device("> Operating Panel (via Controller)", "atmega324p", 264, "PrxaBed", 19200, 15, false, false),
    Device("> Controller", "atmega324p", 7, "PrxaReg", 38400, 0, false, false),
    Device("> Operating Panel Emergency Update (direct connection)", "atmega324p", 8, "PrxaBed", 38400, 0,
           false, true),
    Separator(),
    Heading("GlenVal:"),
    Device("> Operating Panel (via Controller)", "atmega324p", 275, "GlenValBed", 19200, 15, false, false),
    Device("> Controller", "atmega324p", 18, "GlenValReg", 38400, 0, false, false),
    Separator(),
    Heading("Special Devices:"),
    Device("> 3184 KTE AirCase", "atmega32", 15, "3184", 38400, 0, false, true),
    None(""),
}};

constexpr std::array<DeviceStemRow, 13> kStems = {{
    {"solbed", 3},
    {"solgrabed64", 4},
    {"solgrabed128", 5},
    {"solhyb", 6},
    {"soltbed", 7},
    {"solreg", 10},
    {"frostwarn32k", 20},
    {"frostwarn64k", 21},
    {"prxabed", 24},
    {"prxareg", 25},
    {"glenvalbed", 29},
    {"glenvalreg", 30},
    {"aircase", 33},
}};

}  // namespace

const std::array<DeviceEntry, kDeviceRowCount>& DeviceCatalogue() { return kCatalogue; }

const DeviceEntry* DeviceRowEntry(int32_t row) {
    if (row < 0 || row >= kDeviceRowCount) return nullptr;
    const DeviceEntry& entry = kCatalogue[static_cast<std::size_t>(row)];
    return entry.kind == DeviceRowKind::Device ? &entry : nullptr;
}

const std::array<DeviceStemRow, 13>& DeviceStems() { return kStems; }

int32_t DeviceRowForStem(std::string_view stem) {
    for (const DeviceStemRow& s : kStems)
        if (stem == s.stem) return s.row;
    return kNoDeviceRow;
}

bool IsRoutedDevice(uint32_t deviceCode) {
    return deviceCode == 259 || deviceCode == 264 || deviceCode == 275;
}

std::string ProgrammerDeviceArgument(std::string_view chip) { return "-d" + std::string(chip); }

std::string DeviceDescriptionFileName(std::string_view chip) { return std::string(chip) + ".xml"; }

const char* ProgrammerDelayOption(bool ProgrammerDelayFlag) {
    return ProgrammerDelayFlag ? "-D500" : "-D0";
}

void AcceptDeviceRow(const DeviceEntry& entry, DeviceSelection& selection) {
    selection.deviceCode = entry.deviceCode;
    selection.deviceKey = entry.deviceKey;
    selection.bootBaud = entry.bootBaud;
    selection.bootTarget = entry.bootTarget;
    selection.ProgrammerDelayFlag = entry.ProgrammerDelayFlag;
    selection.programmerDevice = ProgrammerDeviceArgument(entry.chip);
}

}  // namespace nvx
