#pragma once
// The kernel command list: what each row sends and whether it needs the user's consent, plus
// the parse of the Parameter text.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nvx {

// How a kernel command carries the parameter value P.
enum class ParamMode : uint8_t {
    None = 0,  // code, 0
    Byte = 1,  // code, P & 0xFF
    Word = 2,  // code, 0, P & 0xFF, (P >> 8) & 0xFF
};

enum class KernelConfirm : uint8_t {
    No,         // sent as it is
    Parameter,  // asked when P is not 0
    Always,     // asked whatever P is
};

struct KernelCommand {
    const char* label;
    bool separator;  // shown in the list, issues nothing
    uint8_t code;    // data byte 0 of the request
    ParamMode mode;
    KernelConfirm confirm;
    uint32_t replyTimeoutMs;  // 0 = the engine's default wait
};

inline constexpr const char* kKernelSeparatorLabel = "----------------------";
inline constexpr std::size_t kKernelCommandCount = 32;
inline constexpr uint8_t kResetCode = 0xFF;
inline constexpr uint8_t kRebootCode = 0xFE;

extern const std::array<KernelCommand, kKernelCommandCount> KernelCommandTable;

// Commands that change the unit: those that ask first, and the restarts.
bool ChangesTheUnit(const KernelCommand& command);

// The row whose label is exactly `label` (separators never match); -1 when none.
int FindKernelCommand(std::string_view label);

// The largest value the command carries: 255 for Byte, 65535 for Word, none for None (the value
// is not sent, so any is taken).
std::optional<uint32_t> ParameterLimit(ParamMode mode);

// The value of a Parameter text: an optional sign, then 0x/0X and hexadecimal digits, or a 0 and
// octal digits, or decimal digits; nothing else may follow. Magnitudes up to 0xFFFFFFFF are taken
// modulo 2^32 (so 0xFFFFFFFF is -1); anything longer is refused like any other non-number.
std::optional<int32_t> ParseKernelParameter(std::string_view text);

}  // namespace nvx
