#include "kernel_api/kernel_commands.h"

namespace nvx {

namespace {

constexpr KernelCommand Separator() {
    return {kKernelSeparatorLabel, true, 0, ParamMode::None, KernelConfirm::No, 0};
}
constexpr KernelCommand Row(const char* label, uint8_t code, ParamMode mode,
                            KernelConfirm confirm = KernelConfirm::No, uint32_t timeoutMs = 0) {
    return {label, false, code, mode, confirm, timeoutMs};
}

using enum ParamMode;
constexpr KernelConfirm kAsk = KernelConfirm::Parameter;

}  // namespace

const std::array<KernelCommand, kKernelCommandCount> KernelCommandTable = {{
    Separator(),
    Row("Reset", kResetCode, None),
    Row("Reboot", kRebootCode, None),
    Row("BootloadStart", 0xFD, Byte),
    Row("MonitorStart", 0xFB, Byte),
    Row("EepromClear", 0xFC, Byte, kAsk),
    Separator(),
    Row("TuvOpen", 0xEF, Byte),
    Row("TuvClose", 0xEE, Byte),
    Row("TuvTunnel", 0xED, Byte),
    Separator(),
    Row("AnzCode", 0xE8, Byte),
    Row("AnzFlagOn", 0xE7, Byte),
    Row("AnzFlagOff", 0xE6, Byte),
    Row("AnzFlagToggle", 0xE5, Byte),
    Separator(),
    Row("ErrorSet", 0xDF, Word, kAsk),
    Row("ErrorModNum", 0xDB, Byte),
    Row("ErrorDate", 0xDA, Byte),
    // Clearing the error memory takes the device far longer than the usual reply wait.
    Row("ErrorClear", 0xD8, Byte, KernelConfirm::Always, 15000),
    Separator(),
    Row("ResetCondition", 0xCF, None),
    Row("BootNumber", 0xCE, None),
    Row("RtimeErrorFlags", 0xCD, Word, kAsk),
    Row("EepromRead", 0xCC, Word),
    Separator(),
    Row("HardwareCode", 0xBF, None),
    Row("ProductionStatus", 0xBE, Word, kAsk),
    Row("ProductionDate", 0xBD, Word, kAsk),
    Row("ConfigCode", 0xBC, Word, kAsk),
    Separator(),
    Row("Null", 0x00, None),
}};

bool ChangesTheUnit(const KernelCommand& command) {
    return command.confirm != KernelConfirm::No || command.code == kResetCode ||
           command.code == kRebootCode;
}

int FindKernelCommand(std::string_view label) {
    for (std::size_t row = 0; row < KernelCommandTable.size(); ++row) {
        const KernelCommand& c = KernelCommandTable[row];
        if (!c.separator && label == c.label) return static_cast<int>(row);
    }
    return -1;
}

std::optional<uint32_t> ParameterLimit(ParamMode mode) {
    switch (mode) {
        case ParamMode::Byte: return 0xFFu;
        case ParamMode::Word: return 0xFFFFu;
        case ParamMode::None: break;
    }
    return std::nullopt;
}

std::optional<int32_t> ParseKernelParameter(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    unsigned base = 10;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    } else if (i < text.size() && text[i] == '0') {
        base = 8;  // the leading 0 is itself a digit, so "0" alone is fine
    }
    if (i == text.size()) return std::nullopt;  // "", "-", "0x"
    uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const char ch = text[i];
        unsigned digit;
        if (ch >= '0' && ch <= '9') {
            digit = static_cast<unsigned>(ch - '0');
        } else if (ch >= 'a' && ch <= 'f') {
            digit = static_cast<unsigned>(ch - 'a' + 10);
        } else if (ch >= 'A' && ch <= 'F') {
            digit = static_cast<unsigned>(ch - 'A' + 10);
        } else {
            return std::nullopt;
        }
        if (digit >= base) return std::nullopt;
        magnitude = magnitude * base + digit;
        if (magnitude > 0xFFFFFFFFu) return std::nullopt;
    }
    uint32_t value = static_cast<uint32_t>(magnitude);
    if (negative) value = 0u - value;
    return static_cast<int32_t>(value);
}

}  // namespace nvx
