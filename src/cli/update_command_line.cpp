#include "cli/update_command_line.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "progtool/device_catalogue.h"

namespace nvx::cli {

const char kUpdateUsage[] =
    "usage: nvx update [--port N[,N...]] (--device STEM | --row N) [--manual | --auto] [--wait N]\n"
    "                  [--backup] [--versions] FILE\n"
    "Writes the firmware FILE (.npf or Intel HEX, its name beginning with the device key) into\n"
    "the device on COM N, as the Programming Tool's \"Program\" button does. With several ports\n"
    "every device gets the same file, all at once.\n";

const char kEepromUsage[] =
    "usage: nvx eeprom read  [--port N] (--device STEM | --row N) [--manual | --auto] [--wait N] FILE\n"
    "       nvx eeprom write [--port N] (--device STEM | --row N) [--manual | --auto] [--wait N]\n"
    "                        --yes FILE\n"
    "Reads the device's EEPROM into the Intel HEX file FILE, or writes FILE into it, as the\n"
    "Programming Tool's \"Read EEPROM\" and \"Write EEPROM\" buttons do. With several ports\n"
    "(--port 1,2 or --port given more than once) the devices are served all at once, and\n"
    "\"{port}\" in FILE becomes each port's number; a read into several files needs it.\n";

const char kCommonOptions[] =
    "\n"
    "  --port N       COM port number (1 to 256), default 1; several: N,N,... or --port again\n"
    "  --device STEM  the device by the word of the monitor's /D switch: solbed, solgrabed64,\n"
    "                 solgrabed128, solhyb, soltbed, solreg, frostwarn32k, frostwarn64k, prxabed,\n"
    "                 prxareg, glenvalbed, glenvalreg, aircase\n"
    "  --row N        the device by its row of the Programming Tool's device list (3 to 33)\n"
    "  --manual       manual start: the device is put into its bootloader by hand\n"
    "  --auto         start through the kernel (the default of most devices)\n"
    "  --wait N       N x 100 timer ticks at each wait of the procedure (the monitor's /W)\n"
    "  --yes          (eeprom write) confirm writing; the device may misbehave on a wrong image\n"
    "  --latin1       write the log as ISO 8859-1 bytes instead of UTF-8\n"
    "  --backup       (update) read the EEPROM into backup/<key>-<date-time>.hex first; no\n"
    "                 update when that fails\n"
    "  --versions     (update) read the application's version before and after, into the log\n"
    "                 and the journal (one more request on the line each time)\n"
    "\n"
    "Options may stand anywhere; \"--\" ends them.\n"
    "The current directory is the start directory: it holds norvixosp.exe, the part descriptions\n"
    "<chip>.xml and the com<N> links; every operation is added to its service-journal.csv. The\n"
    "programmer runs in a fresh directory of its own, so runs side by side never share its files.\n"
    "Exit status 0 only when every procedure ended with its finish line (a journal line that\n"
    "cannot be written is a warning on standard error); Ctrl-C ends them with their abort line,\n"
    "each device back in its application.\n";

namespace {

bool ParseNumber(const std::string& text, long min, long max, long& value) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value >= min && value <= max;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

const KnownOption kDeviceOption{"--device", nullptr, true};
const KnownOption kRowOption{"--row", nullptr, true};
const KnownOption kManualOption{"--manual", nullptr, false};
const KnownOption kAutoOption{"--auto", nullptr, false};
const KnownOption kWaitOption{"--wait", nullptr, true};


// Every --port, each one port number or several joined by ','; COM 1 when none is given.
bool PortsFromCommandLine(const CommandLine& line, std::vector<int>& ports, std::string& error) {
    for (const CommandLine::Given& given : line.options) {
        if (given.name != kPortOption.name) continue;
        std::size_t from = 0;
        for (;;) {
            const std::size_t comma = given.value.find(',', from);
            const std::string item = given.value.substr(from, comma - from);
            int port = 0;
            if (!ParseComPortNumber(item, port)) {
                error = "--port: COM port numbers are 1 to 256, not '" + item + "'";
                return false;
            }
            if (std::find(ports.begin(), ports.end(), port) != ports.end()) {
                error = "--port: COM" + item + " is given twice";
                return false;
            }
            ports.push_back(port);
            if (comma == std::string::npos) break;
            from = comma + 1;
        }
    }
    if (ports.empty()) ports.push_back(1);
    return true;
}

}  // namespace

bool ParseUpdateCommandLine(const Args& args, bool eeprom, UpdateCommandLine& cmd,
                            std::string& error) {
    CommandLine line;
    if (!SplitCommandLine(args,
                          {kHelpOption, kPortOption, kLatin1Option, kDeviceOption, kRowOption,
                           kManualOption, kAutoOption, kWaitOption, kYesOption, kBackupOption,
                           kVersionsOption, kProgressLinesOption},
                          line, error))
        return false;
    if (line.has(kHelpOption.name)) {
        cmd.help = true;
        return true;
    }
    std::vector<std::string> operands = line.operands;
    if (eeprom) {
        if (operands.empty() || (operands[0] != "read" && operands[0] != "write")) {
            error = "say read or write";
            return false;
        }
        cmd.operation = operands[0] == "read" ? Operation::EepromRead : Operation::EepromWrite;
        operands.erase(operands.begin());
    }
    if (line.has(kYesOption.name) && cmd.operation != Operation::EepromWrite) {
        error = "unknown option --yes (only eeprom write asks)";
        return false;
    }
    if (line.has(kBackupOption.name) && cmd.operation != Operation::Program) {
        error = "unknown option --backup (only update backs up)";
        return false;
    }
    if (line.has(kVersionsOption.name) && cmd.operation != Operation::Program) {
        error = "unknown option --versions (only update reads the versions)";
        return false;
    }
    cmd.backup = line.has(kBackupOption.name);
    cmd.versions = line.has(kVersionsOption.name);
    cmd.yes = line.has(kYesOption.name);
    cmd.latin1 = line.has(kLatin1Option.name);
    cmd.progressLines = line.has(kProgressLinesOption.name);
    if (!PortsFromCommandLine(line, cmd.ports, error)) return false;

    if (line.count(kDeviceOption.name) + line.count(kRowOption.name) != 1) {
        error = line.has(kDeviceOption.name) || line.has(kRowOption.name)
                    ? "give the device once (--device or --row)"
                    : "no device given (--device STEM or --row N)";
        return false;
    }
    long n = 0;
    if (line.has(kDeviceOption.name)) {
        const std::string v = line.value(kDeviceOption.name);
        cmd.row = DeviceRowForStem(Lower(v));
        if (cmd.row == kNoDeviceRow) {
            error = "--device: '" + v + "' is no device word (see --help)";
            return false;
        }
    } else {
        const std::string v = line.value(kRowOption.name);
        if (!ParseNumber(v, 0, kDeviceRowCount - 1, n) ||
            DeviceRowEntry(static_cast<int32_t>(n)) == nullptr) {
            error = "--row: '" + v + "' is no device row (3 to 33, headings excluded)";
            return false;
        }
        cmd.row = static_cast<int32_t>(n);
    }
    if (line.has(kManualOption.name) && line.has(kAutoOption.name)) {
        error = "--manual and --auto exclude each other";
        return false;
    }
    if (line.has(kManualOption.name)) cmd.manual = 1;
    if (line.has(kAutoOption.name)) cmd.manual = 0;
    if (line.has(kWaitOption.name)) {
        const std::string v = line.value(kWaitOption.name);
        if (!ParseNumber(v, 0, 1000, n)) {
            error = "--wait: '" + v + "' is no number from 0 to 1000";
            return false;
        }
        cmd.waitGiven = true;
        cmd.waitHundreds = static_cast<int32_t>(n);
    }
    if (operands.size() > 1) {
        error = "one file only ('" + operands[0] + "' and '" + operands[1] + "')";
        return false;
    }
    if (operands.empty() || operands[0].empty()) {
        error = "no file given";
        return false;
    }
    cmd.file = operands[0];
    if (cmd.operation == Operation::EepromWrite && !cmd.yes) {
        error = "writing the EEPROM needs --yes: a wrong image may make the device misbehave";
        return false;
    }
    if (cmd.operation == Operation::EepromRead && cmd.ports.size() > 1 &&
        cmd.file.find(kPortPlaceholder) == std::string::npos) {
        error = "reading several devices needs {port} in the file name (one file each)";
        return false;
    }
    return true;
}

std::string FileForPort(std::string file, int port) {
    for (std::size_t at; (at = file.find(kPortPlaceholder)) != std::string::npos;)
        file.replace(at, kPortPlaceholder.size(), std::to_string(port));
    return file;
}

}  // namespace nvx::cli
