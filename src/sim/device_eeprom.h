#pragma once
// The device's 4 KB EEPROM in the layout the analysis reads: a header with identity and
// production data whose bytes 24..27 give the section starts in units of 16 bytes, then the
// sections Exworks (factory data; PRXA panels start it with their temperature log), Text (the
// two starting texts), Parameter (settings and the kernel's counters) and Error (the error
// memory: a 4-byte head and a ring of 4-byte entries).

#include <cstdint>
#include <string>
#include <vector>

#include "sim/device_types.h"

namespace nvx::sim {

constexpr uint32_t kEepromBytes = 4096;
constexpr uint32_t kTextLength = 30;         // two lines of 15
constexpr uint32_t kErrorRingCapacity = 24;  // entries

// The firmware's own layout; a header whose starts do not make sense falls back to it.
constexpr uint32_t kDefaultExworksStart = 0x040;
constexpr uint32_t kDefaultTextStart = 0x080;
constexpr uint32_t kDefaultParameterStart = 0x0C0;
constexpr uint32_t kDefaultErrorStart = 0x180;

// Header fields (offsets).
constexpr uint32_t kHeaderSignature = 2;   // word, low byte first
constexpr uint32_t kHeaderChecksum = 4;    // word over bytes 6..15; FF FF = none
constexpr uint32_t kHeaderBuild = 6;       // 2 bytes
constexpr uint32_t kHeaderConfigCode = 8;  // word
constexpr uint32_t kHeaderProductionFlags = 10;  // word
constexpr uint32_t kHeaderProductionDate = 12;   // day, then year digit << 4 | month
constexpr uint32_t kHeaderSerialNumber = 14;     // 4 bytes, low byte first
constexpr uint32_t kHeaderHardwareCode = 18;     // word
constexpr uint32_t kHeaderSectionStarts = 24;    // 4 bytes: error, exworks, text, parameter
constexpr uint16_t kEepromSignature = 0x4E58;

// Offsets inside the Parameter section where the kernel keeps its state across restarts.
constexpr uint32_t kParamRuntimeErrorFlags = 0;  // word
constexpr uint32_t kParamBootNumber = 2;         // word
constexpr uint32_t kParamResetCondition = 4;
constexpr uint32_t kParamDisplayCode = 5;
constexpr uint32_t kParamDisplayFlags = 6;
constexpr uint32_t kParamMonitorMode = 7;

struct SectionStarts {
    uint32_t exworks;
    uint32_t text;
    uint32_t parameter;
    uint32_t error;
};

// One error memory entry as stored.
struct ErrorEntry {
    uint8_t code = 0;
    uint8_t module = 0;
    uint8_t day = 0;
    uint8_t yearMonth = 0;  // last digit of the year << 4 | month
    bool operator==(const ErrorEntry&) const = default;
};

class DeviceEeprom {
public:
    DeviceEeprom();  // erased: every byte 0xFF

    std::vector<uint8_t>& bytes() { return bytes_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    uint8_t byte(uint32_t address) const { return bytes_[address % kEepromBytes]; }
    void setByte(uint32_t address, uint8_t value) { bytes_[address % kEepromBytes] = value; }
    uint16_t word(uint32_t address) const;  // low byte first
    void setWord(uint32_t address, uint16_t value);

    SectionStarts sections() const;
    // The header carries this firmware's signature (false after an erase).
    bool formatted() const;
    // What the firmware does at start on an unformatted EEPROM: layout, empty error memory,
    // blank texts, zeroed counters. Production data stays as it is.
    void format();
    void erase();

    uint8_t textChar(uint32_t index) const;  // 0..29
    void setTextChar(uint32_t index, uint8_t value);
    std::string texts() const;  // the 30 characters

    uint16_t parameterWord(uint32_t offset) const { return word(sections().parameter + offset); }
    void setParameterWord(uint32_t offset, uint16_t v) { setWord(sections().parameter + offset, v); }
    uint8_t parameterByte(uint32_t offset) const { return byte(sections().parameter + offset); }
    void setParameterByte(uint32_t offset, uint8_t v) { setByte(sections().parameter + offset, v); }

    // Error memory. Entries and ring pointer as stored; values out of range (erased) count as 0.
    uint32_t errorCount() const;
    uint32_t errorPointer() const;
    std::vector<ErrorEntry> errors() const;  // newest first
    void addError(const ErrorEntry& entry);
    void clearErrors(uint8_t day, uint8_t yearMonth);

    void updateHeaderChecksum();

private:
    std::vector<uint8_t> bytes_;
};

// The EEPROM a device of this type leaves the factory with, after some time in service: a full
// header, a few error entries, the starting texts and, for PRXA panels, a temperature log.
DeviceEeprom FactoryEeprom(const DeviceType& type);

// Today's date as the error memory stores it (day, year digit << 4 | month), from the calendar
// clock of the process.
void TodayForErrorMemory(uint8_t& day, uint8_t& yearMonth);

}  // namespace nvx::sim
