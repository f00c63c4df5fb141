#include "sim/device_eeprom.h"

#include <ctime>

#include "platform/timer_service.h"

namespace nvx::sim {

DeviceEeprom::DeviceEeprom() : bytes_(kEepromBytes, 0xFF) {}

uint16_t DeviceEeprom::word(uint32_t address) const {
    return static_cast<uint16_t>(byte(address) | byte(address + 1) << 8);
}

void DeviceEeprom::setWord(uint32_t address, uint16_t value) {
    setByte(address, static_cast<uint8_t>(value & 0xFF));
    setByte(address + 1, static_cast<uint8_t>(value >> 8));
}

SectionStarts DeviceEeprom::sections() const {
    const SectionStarts s{bytes_[kHeaderSectionStarts + 1] * 16u,
                          bytes_[kHeaderSectionStarts + 2] * 16u,
                          bytes_[kHeaderSectionStarts + 3] * 16u,
                          bytes_[kHeaderSectionStarts] * 16u};
    const bool sane = s.exworks >= 32 && s.exworks < s.text && s.text + kTextLength <= s.parameter &&
                      s.parameter + 8 <= s.error &&
                      s.error + 4 + 4 * kErrorRingCapacity <= kEepromBytes;
    if (sane) return s;
    return {kDefaultExworksStart, kDefaultTextStart, kDefaultParameterStart, kDefaultErrorStart};
}

bool DeviceEeprom::formatted() const { return word(kHeaderSignature) == kEepromSignature; }

void DeviceEeprom::erase() { bytes_.assign(kEepromBytes, 0xFF); }

void DeviceEeprom::format() {
    bytes_[0] = 0x01;
    bytes_[1] = 0x00;
    setWord(kHeaderSignature, kEepromSignature);
    bytes_[kHeaderSectionStarts] = kDefaultErrorStart / 16;
    bytes_[kHeaderSectionStarts + 1] = kDefaultExworksStart / 16;
    bytes_[kHeaderSectionStarts + 2] = kDefaultTextStart / 16;
    bytes_[kHeaderSectionStarts + 3] = kDefaultParameterStart / 16;
    const SectionStarts s = sections();
    for (uint32_t i = 0; i < kTextLength; ++i) bytes_[s.text + i] = ' ';
    for (uint32_t i = 0; i < 8; ++i) bytes_[s.parameter + i] = 0;
    for (uint32_t i = 0; i < 4; ++i) bytes_[s.error + i] = 0;
    updateHeaderChecksum();
}

uint8_t DeviceEeprom::textChar(uint32_t index) const {
    return index < kTextLength ? byte(sections().text + index) : 0;
}

void DeviceEeprom::setTextChar(uint32_t index, uint8_t value) {
    if (index < kTextLength) setByte(sections().text + index, value);
}

std::string DeviceEeprom::texts() const {
    std::string s;
    for (uint32_t i = 0; i < kTextLength; ++i) s += static_cast<char>(textChar(i));
    return s;
}

uint32_t DeviceEeprom::errorCount() const {
    const uint32_t n = byte(sections().error);
    return n > kErrorRingCapacity ? 0 : n;
}

uint32_t DeviceEeprom::errorPointer() const {
    const uint32_t p = byte(sections().error + 1);
    return p >= kErrorRingCapacity ? 0 : p;
}

std::vector<ErrorEntry> DeviceEeprom::errors() const {
    const uint32_t start = sections().error;
    const uint32_t n = errorCount();
    const uint32_t p = errorPointer();
    std::vector<ErrorEntry> out;
    // Newest first, the same ring walk the analysis uses.
    for (uint32_t k = 1; k <= n; ++k) {
        const uint32_t i = (n + p - k) % n;
        const uint32_t a = start + 4 + 4 * i;
        out.push_back({byte(a), byte(a + 1), byte(a + 2), byte(a + 3)});
    }
    return out;
}

void DeviceEeprom::addError(const ErrorEntry& e) {
    const uint32_t start = sections().error;
    const uint32_t i = errorPointer();
    const uint32_t a = start + 4 + 4 * i;
    setByte(a, e.code);
    setByte(a + 1, e.module);
    setByte(a + 2, e.day);
    setByte(a + 3, e.yearMonth);
    const uint32_t n = errorCount();
    setByte(start, static_cast<uint8_t>(n < kErrorRingCapacity ? n + 1 : n));
    setByte(start + 1, static_cast<uint8_t>((i + 1) % kErrorRingCapacity));
}

void DeviceEeprom::clearErrors(uint8_t day, uint8_t yearMonth) {
    const uint32_t start = sections().error;
    setByte(start, 0);
    setByte(start + 1, 0);
    setByte(start + 2, day);
    setByte(start + 3, yearMonth);
    for (uint32_t i = 0; i < 4 * kErrorRingCapacity; ++i) setByte(start + 4 + i, 0xFF);
}

void DeviceEeprom::updateHeaderChecksum() {
    uint32_t sum = 0;
    for (uint32_t a = kHeaderBuild; a < kHeaderSerialNumber + 2; ++a) sum += bytes_[a];
    setWord(kHeaderChecksum, static_cast<uint16_t>(sum & 0xFFFF));
}

DeviceEeprom FactoryEeprom(const DeviceType& type) {
    DeviceEeprom e;
    e.format();
    std::vector<uint8_t>& b = e.bytes();
    const VersionInfo& v = type.versions;

    // Build date from the application's build: month number counted from January 2001.
    const unsigned year = 2000u + v.buildYear;
    const unsigned month = v.buildWeek * 12u / 53u + 1u;
    const unsigned monthNumber = (year - 2001u) * 12u + month;
    const unsigned buildDay = (v.buildWeek * 7u) % 28u + 1u;
    b[kHeaderBuild] = static_cast<uint8_t>((monthNumber / 100u) << 5 | buildDay);
    b[kHeaderBuild + 1] = static_cast<uint8_t>(monthNumber % 100u);
    e.setWord(kHeaderConfigCode, 0x0000);
    e.setWord(kHeaderProductionFlags, 0x001F);
    const unsigned prodMonth = month % 12u + 1u;
    const unsigned prodYear = prodMonth == 1 ? year + 1 : year;
    b[kHeaderProductionDate] = static_cast<uint8_t>((buildDay + 9u) % 28u + 1u);
    b[kHeaderProductionDate + 1] = static_cast<uint8_t>((prodYear % 10u) << 4 | prodMonth);
    for (int i = 0; i < 4; ++i)
        b[kHeaderSerialNumber + i] = static_cast<uint8_t>(type.serialNumber >> (8 * i));
    e.setWord(kHeaderHardwareCode, v.hardwareCode);
    e.updateHeaderChecksum();

    const SectionStarts s = e.sections();
    // Exworks: temperature log (hours per band) or calibration words, then the test station.
    static const uint16_t kHours[12] = {1520, 2210, 3104, 4105, 2890, 1450,
                                        612,  220,  75,   12,   3,    0};
    for (uint32_t i = 0; i < 12; ++i) {
        const uint16_t w = type.temperatureLog
                               ? kHours[i]
                               : static_cast<uint16_t>(0x0200 + (type.serialNumber >> i) % 61);
        e.setWord(s.exworks + 2 * i, w);
    }
    for (uint32_t i = 24; i < 32; ++i)
        b[s.exworks + i] = static_cast<uint8_t>(0x30 + (type.serialNumber + i) % 10);

    static const char kTexts[] = "Norvix Solvane   W\xE4rmetechnik ";
    static_assert(sizeof(kTexts) - 1 == kTextLength);
    for (uint32_t i = 0; i < kTextLength; ++i) e.setTextChar(i, static_cast<uint8_t>(kTexts[i]));

    e.setParameterWord(kParamRuntimeErrorFlags, 0x0004);
    e.setParameterWord(kParamBootNumber, static_cast<uint16_t>(37 + type.row));
    e.setParameterByte(kParamResetCondition, 0);
    e.setParameterByte(kParamDisplayCode, 0);
    e.setParameterByte(kParamDisplayFlags, 0x01);
    e.setParameterByte(kParamMonitorMode, 0);
    for (uint32_t i = 8; i < 64; ++i)
        b[s.parameter + i] = static_cast<uint8_t>((i * 7 + static_cast<uint32_t>(type.row)) & 0x7F);

    e.clearErrors(12, 0x43);
    const ErrorEntry kHistory[] = {
        {16, 17, 21, 0x43},  // outside temperature sensor
        {33, 32, 5, 0x46},   // return sensor, circuit 2
        {16, 11, 30, 0x4B},  // clock invalid
        {50, 37, 14, 0x52},  // return temperature too high, supply 3
        {1, 3, 2, 0x57},     // communication software problem
    };
    for (const ErrorEntry& entry : kHistory) e.addError(entry);
    return e;
}

void TodayForErrorMemory(uint8_t& day, uint8_t& yearMonth) {
    const std::time_t now = Calendar().now();
    std::tm tm{};
    localtime_r(&now, &tm);
    day = static_cast<uint8_t>(tm.tm_mday);
    yearMonth = static_cast<uint8_t>(((tm.tm_year + 1900) % 10) << 4 | (tm.tm_mon + 1));
}

}  // namespace nvx::sim
