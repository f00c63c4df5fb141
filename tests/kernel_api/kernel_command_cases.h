#pragma once
// Every row of the kernel command list as the device must receive it: its code byte and where
// its parameter goes. Written out from the list the technician sees, not taken from the
// program's table, so a wrong row there shows; one table for every test that walks the list.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/format.h"

namespace nvx::test {

struct KernelCommandCase {
    enum class Parameter { None, Byte, Word };
    const char* label;
    uint8_t code;
    Parameter parameter;

    // The Parameter text a technician types for p: two hex digits for a byte, four otherwise
    // (a command without a parameter must not send it).
    std::string parameterText(uint16_t p) const {
        return parameter == Parameter::Byte ? Format("0x%02X", p & 0xFF) : Format("0x%04X", p);
    }
    // The request's data bytes for p: the code, then the byte, the word low byte first behind a
    // zero, or a zero alone.
    std::vector<uint8_t> requestData(uint16_t p) const {
        switch (parameter) {
        case Parameter::Byte: return {code, static_cast<uint8_t>(p & 0xFF)};
        case Parameter::Word:
            return {code, 0x00, static_cast<uint8_t>(p & 0xFF), static_cast<uint8_t>(p >> 8)};
        case Parameter::None: break;
        }
        return {code, 0x00};
    }
};

inline constexpr KernelCommandCase kKernelCommandCases[] = {
    {"Reset", 0xFF, KernelCommandCase::Parameter::None},
    {"Reboot", 0xFE, KernelCommandCase::Parameter::None},
    {"BootloadStart", 0xFD, KernelCommandCase::Parameter::Byte},
    {"MonitorStart", 0xFB, KernelCommandCase::Parameter::Byte},
    {"EepromClear", 0xFC, KernelCommandCase::Parameter::Byte},
    {"TuvOpen", 0xEF, KernelCommandCase::Parameter::Byte},
    {"TuvClose", 0xEE, KernelCommandCase::Parameter::Byte},
    {"TuvTunnel", 0xED, KernelCommandCase::Parameter::Byte},
    {"AnzCode", 0xE8, KernelCommandCase::Parameter::Byte},
    {"AnzFlagOn", 0xE7, KernelCommandCase::Parameter::Byte},
    {"AnzFlagOff", 0xE6, KernelCommandCase::Parameter::Byte},
    {"AnzFlagToggle", 0xE5, KernelCommandCase::Parameter::Byte},
    {"ErrorSet", 0xDF, KernelCommandCase::Parameter::Word},
    {"ErrorModNum", 0xDB, KernelCommandCase::Parameter::Byte},
    {"ErrorDate", 0xDA, KernelCommandCase::Parameter::Byte},
    {"ErrorClear", 0xD8, KernelCommandCase::Parameter::Byte},
    {"ResetCondition", 0xCF, KernelCommandCase::Parameter::None},
    {"BootNumber", 0xCE, KernelCommandCase::Parameter::None},
    {"RtimeErrorFlags", 0xCD, KernelCommandCase::Parameter::Word},
    {"EepromRead", 0xCC, KernelCommandCase::Parameter::Word},
    {"HardwareCode", 0xBF, KernelCommandCase::Parameter::None},
    {"ProductionStatus", 0xBE, KernelCommandCase::Parameter::Word},
    {"ProductionDate", 0xBD, KernelCommandCase::Parameter::Word},
    {"ConfigCode", 0xBC, KernelCommandCase::Parameter::Word},
    {"Null", 0x00, KernelCommandCase::Parameter::None},
};

}  // namespace nvx::test
