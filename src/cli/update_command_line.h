#pragma once
// nvx update, nvx eeprom: their command line, read whole and checked before anything runs.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_command.h"
#include "platform/command_line.h"

namespace nvx::cli {

enum class Operation { Program, EepromRead, EepromWrite };

struct UpdateCommandLine {
    Operation operation = Operation::Program;
    bool help = false;
    std::vector<int> ports;  // in the order given
    bool latin1 = false;
    bool progressLines = false;
    int32_t row = 0;
    int manual = -1;  // -1: the row's default
    bool waitGiven = false;
    int32_t waitHundreds = 0;
    bool yes = false;
    bool backup = false;
    bool versions = false;
    std::string file;
};

extern const char kUpdateUsage[];
extern const char kEepromUsage[];
// The options both commands share, after either usage.
extern const char kCommonOptions[];

// The file name part that becomes the port's number when several ports are served.
inline constexpr std::string_view kPortPlaceholder = "{port}";
// Hidden option of the children of a run on several ports: progress as lines for the parent.
inline constexpr KnownOption kProgressLinesOption{"--progress-lines", nullptr, false};
inline constexpr KnownOption kBackupOption{"--backup", nullptr, false};
inline constexpr KnownOption kVersionsOption{"--versions", nullptr, false};

// The arguments after the command word; for `nvx eeprom` the first operand says read or write.
// False with the reason in error on wrong usage.
bool ParseUpdateCommandLine(const Args& args, bool eeprom, UpdateCommandLine& cmd,
                            std::string& error);

// One port's file: every kPortPlaceholder in file replaced by the port's number.
std::string FileForPort(std::string file, int port);

}  // namespace nvx::cli
